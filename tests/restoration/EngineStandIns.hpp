#pragma once
// Stand-in restoration engines for the runner tests: shell scripts written by the test that
// honour the engines' command lines (DeepFilterNet's, and the Python bridges' as run by a
// runtime's interpreter) and do something simple and checkable with the audio.

#include <filesystem>
#include <string>

#include "TestSupport.hpp"
#include "audiocore/restoration/LocalInference.hpp"

namespace corvaline::test {

/// A DeepFilterNet stand-in at `folder`/deep-filter: reads "-m M -D -a R -o DIR INPUT", keeps
/// a copy of its input in `folder`/seen/, its arguments in `folder`/arguments.txt, then runs
/// `body` with $in (input) and $out (DIR/<input name>) set. `body` "cp" copies.
inline std::filesystem::path deepFilterStandIn(const std::filesystem::path& folder,
                                               const std::string& body = "cp \"$in\" \"$out\"") {
    std::filesystem::create_directories(folder / "seen");
    const std::string f = shellQuote(folder.string());
    const auto program = folder / "deep-filter";
    writeFile(
        program,
        "#!/bin/sh\n"
        "printf '%s\\n' \"$@\" > " +
            f +
            "/arguments.txt\n"
            "while [ $# -gt 1 ]; do case \"$1\" in -o) dir=\"$2\"; shift 2;; -m|-a) shift 2;; "
            "*) shift;; esac; done\n"
            "in=\"$1\"; out=\"$dir/$(basename \"$in\")\"\n"
            "cp \"$in\" " +
            f + "/seen/\n" + body + "\n",
        true);
    return program;
}

/// A runtime interpreter stand-in at `folder`/python3 for the bridge command line "-I BRIDGE
/// --input IN --output OUT --repo REPO": records its arguments and environment in `folder`,
/// then runs `body` with $in, $out and $repo set.
inline std::filesystem::path bridgeStandIn(const std::filesystem::path& folder,
                                           const std::string& body = "cp \"$in\" \"$out\"") {
    std::filesystem::create_directories(folder);
    const std::string f = shellQuote(folder.string());
    const auto program = folder / "python3";
    writeFile(program,
              "#!/bin/sh\n"
              "printf '%s\\n' \"$@\" > " +
                  f +
                  "/arguments.txt\n"
                  "env > " +
                  f +
                  "/environment.txt\n"
                  "while [ $# -gt 0 ]; do case \"$1\" in --input) in=\"$2\"; shift 2;; "
                  "--output) out=\"$2\"; shift 2;; --repo) repo=\"$2\"; shift 2;; *) shift;; esac; "
                  "done\n" +
                  body + "\n",
              true);
    return program;
}

}  // namespace corvaline::test
