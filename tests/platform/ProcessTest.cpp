#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <fstream>
#include <stop_token>
#include <thread>

#include "TestSupport.hpp"
#include "audiocore/platform/Cancellation.hpp"
#include "audiocore/platform/Process.hpp"

using namespace corvaline;
using namespace std::chrono_literals;

namespace {

ProcessOptions shell(const std::string& script) {
    ProcessOptions o;
    o.executable = "/bin/sh";
    o.arguments = {"-c", script};
    o.standardOutput = ProcessOutput::captured(1 << 20);
    o.standardError = ProcessOutput::captured(1 << 20);
    return o;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

/// True while `pid` runs; a killed orphan may linger as a zombie until its new parent reaps it.
bool processExists(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text)) return false;
    const auto close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z' &&
           text[close + 2] != 'X';
}

}  // namespace

TEST(Process, ReportsExitStatusAndTerminatingSignal) {
    auto ok = runProcess(shell("exit 0"));
    EXPECT_TRUE(ok.succeeded());
    auto three = runProcess(shell("exit 3"));
    EXPECT_TRUE(three.exited);
    EXPECT_EQ(three.exitCode, 3);
    EXPECT_EQ(three.status(), 3);
    EXPECT_FALSE(three.succeeded());
    auto killed = runProcess(shell("kill -9 $$"));
    EXPECT_FALSE(killed.exited);
    EXPECT_EQ(killed.signal, SIGKILL);
    EXPECT_EQ(killed.status(), 9);
}

TEST(Process, CapturesBothStreamsWithLimits) {
    auto r = runProcess(shell("printf out; printf err >&2"));
    EXPECT_EQ(r.standardOutput, "out");
    EXPECT_EQ(r.standardError, "err");

    // 2 MB through a pipe must not block the child; head keeps the start, tail the end.
    auto o = shell(
        "i=0; while [ $i -lt 2000 ]; do printf '%0999d\\n' $i; i=$((i+1)); done; "
        "echo tail-end >&2");
    o.standardOutput = ProcessOutput::captured(4000, ProcessOutput::Keep::head);
    o.standardError = ProcessOutput::captured(5, ProcessOutput::Keep::tail);
    auto big = runProcess(o);
    EXPECT_TRUE(big.succeeded());
    EXPECT_EQ(big.outputBytes, 2000u * 1000u);
    EXPECT_EQ(big.standardOutput.size(), 4000u);
    EXPECT_TRUE(big.outputTruncated());
    EXPECT_EQ(big.standardOutput.substr(0, 4), "0000");
    EXPECT_EQ(big.standardError, "-end\n");

    // Standard error joined to standard output keeps the order of writes.
    auto j = shell("echo a; echo b >&2; echo c");
    j.standardError = ProcessOutput::sameAsOutput();
    EXPECT_EQ(runProcess(j).standardOutput, "a\nb\nc\n");
}

TEST(Process, EnvironmentWorkingDirectoryAndInput) {
    test::TempDir dir;
    test::writeFile(dir / "input.txt", "from file\n");

    auto o = shell("echo \"$LC_ALL|$ONLY|${HOME-unset}\"; pwd; cat");
    o.environment = Environment{{"ONLY", "1"}};
    o.environmentAdditions = {{"LC_ALL", "C"}};
    o.workingDirectory = dir.path();
    o.standardInput = dir / "input.txt";
    auto r = runProcess(o);
    const auto canonical = std::filesystem::canonical(dir.path()).string();
    EXPECT_EQ(r.standardOutput, "C|1|unset\n" + canonical + "\nfrom file\n");

    // Without a replacement the caller's environment is inherited, additions override it.
    ::setenv("CORVALINE_PROCESS_TEST", "inherited", 1);
    auto inherit = shell("echo $CORVALINE_PROCESS_TEST; cat");
    inherit.environmentAdditions = {{"LC_ALL", "C"}};
    EXPECT_EQ(runProcess(inherit).standardOutput, "inherited\n");  // stdin is the null device
}

TEST(Process, FileOutputFollowedLineByLineWhileRunning) {
    test::TempDir dir;
    auto o = shell("for i in 1 2 3; do echo out_time_us=$i; sleep 0.1; done; printf partial");
    o.standardOutput = ProcessOutput::toFile(dir / "out.txt");
    o.standardError = ProcessOutput::toFile(dir / "err.txt");
    test::writeFile(dir / "out.txt", "stale content that must be truncated\n");
    OutputLineReader reader(dir / "out.txt");
    std::vector<std::string> lines;
    int polls = 0;
    auto r = runProcess(o, {}, [&] {
        ++polls;
        reader.poll([&](std::string_view l) { lines.emplace_back(l); });
    });
    EXPECT_TRUE(r.succeeded());
    EXPECT_EQ(lines, (std::vector<std::string>{"out_time_us=1", "out_time_us=2", "out_time_us=3"}));
    EXPECT_GE(polls, 4);  // ~0.3 s at 0.05 s plus the final poll after exit
    EXPECT_EQ(test::readFile(dir / "out.txt"),
              "out_time_us=1\nout_time_us=2\nout_time_us=3\npartial");
}

TEST(Process, OutputLineReaderKeepsOnlyTheEndOfAnOverlongLine) {
    OutputLineReader reader;
    std::vector<std::string> lines;
    auto collect = [&](std::string_view l) { lines.emplace_back(l); };
    reader.feed("one\r\ntw", collect);
    reader.feed("o\n", collect);
    reader.feed(std::string(20000, 'x') + "END", collect);
    reader.feed("\n", collect);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "one");
    EXPECT_EQ(lines[1], "two");
    EXPECT_EQ(lines[2].size(), 16384u);  // only the end of the unfinished text is kept
    EXPECT_EQ(lines[2].substr(lines[2].size() - 3), "END");
}

TEST(Process, CancellationStopsAChildPromptly) {
    std::stop_source source;
    pid_t pid = 0;
    const auto start = std::chrono::steady_clock::now();
    std::thread canceller([&] {
        std::this_thread::sleep_for(200ms);
        source.request_stop();
    });
    auto o = shell("echo $$; exec sleep 30");
    o.onOutputChunk = [&](std::string_view s) { pid = std::stoi(std::string(s)); };
    EXPECT_THROW(runProcess(o, source.get_token()), Cancelled);
    canceller.join();
    EXPECT_LT(secondsSince(start), 1.5);  // generous for a loaded machine
    ASSERT_GT(pid, 0);
    EXPECT_FALSE(processExists(pid));
}

TEST(Process, ChildIgnoringTerminateIsKilledAfterTwoSeconds) {
    test::TempDir dir;
    // The shell and the sleep it starts both ignore SIGTERM; both must be gone afterwards.
    auto o = shell("trap '' TERM; sleep 60 & echo $! > '" + (dir / "grandchild").string() +
                   "'; wait; wait; wait");
    std::stop_source source;
    std::thread canceller([&] {
        std::this_thread::sleep_for(300ms);
        source.request_stop();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(runProcess(o, source.get_token()), Cancelled);
    canceller.join();
    const double elapsed = secondsSince(start);
    EXPECT_GE(elapsed, 2.2);
    EXPECT_LT(elapsed, 4.0);
    const pid_t grandchild = std::stoi(test::readFile(dir / "grandchild"));
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(processExists(grandchild));
}

TEST(Process, MissingOrNonExecutableProgramIsALaunchError) {
    test::TempDir dir;
    ProcessOptions missing;
    missing.executable = dir / "no-such-program";
    try {
        runProcess(missing);
        FAIL() << "expected a launch error";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().value(), ENOENT);
        EXPECT_NE(std::string(e.what()).find("no-such-program"), std::string::npos);
    }
    test::writeFile(dir / "plain", "#!/bin/sh\nexit 0\n", false);
    ProcessOptions plain;
    plain.executable = dir / "plain";
    try {
        runProcess(plain);
        FAIL() << "expected a launch error";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().value(), EACCES);
    }
    // A bare name is never searched on PATH.
    ProcessOptions bare;
    bare.executable = "sh";
    bare.workingDirectory = dir.path();
    EXPECT_THROW(runProcess(bare), std::system_error);
}

TEST(Process, FileTailRepairsBrokenUtf8) {
    test::TempDir dir;
    std::string log(10000, 'a');
    log += "\xC3\xA9 end \xFF";
    test::writeFile(dir / "log", log);
    const std::string tail = readFileTail(dir / "log", 3000);
    EXPECT_EQ(tail.size(), 3000u - 1 + 3);  // the stray 0xFF became U+FFFD
    EXPECT_EQ(tail.substr(tail.size() - 10), "\xC3\xA9 end \xEF\xBF\xBD");
    // Cutting inside a two-byte character replaces the orphaned continuation byte.
    EXPECT_EQ(readFileTail(dir / "log", 7).substr(0, 3), "\xEF\xBF\xBD");
    EXPECT_EQ(readFileTail(dir / "missing", 10), "");
    EXPECT_EQ(repairUtf8("ok \xE2\x82\xAC \xED\xA0\x80 \xF0\x9F"),
              "ok \xE2\x82\xAC \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD \xEF\xBF\xBD");
}
