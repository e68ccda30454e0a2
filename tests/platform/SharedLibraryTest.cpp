// Libraries opened on first use: what is bound, what the user reads when a library or one of
// its functions is missing, and that threads racing to the first use open them once.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <thread>
#include <vector>

#include "audiocore/platform/Paths.hpp"
#include "audiocore/platform/SharedLibrary.hpp"

namespace corvaline {
namespace {

using Twice = int (*)(int);
using Name = const char* (*)();

std::string fixture(const char* file = "lazy_fixture.so") {
    return (paths::executableFolder() / file).string();
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

/// The fixture library with its two functions, described as the engine's loaders describe
/// theirs; counts how often its set-up ran.
class Fixture : public LazyLibraries {
  public:
    explicit Fixture(std::vector<std::string> sonames,
                     const char* nameFunction = "corvaline_fixture_name")
        : LazyLibraries({std::move(sonames), "the fixture", "tests loading", "fixture1"}),
          name{this, nameFunction} {}

    Function<Twice> twice{this, "corvaline_fixture_twice"};
    Function<Name> name;
    mutable std::atomic<int> initialised{0};
    std::chrono::milliseconds initialiseTime{0};

  private:
    void initialise() const override {
        ++initialised;
        std::this_thread::sleep_for(initialiseTime);
    }
};

TEST(LazyLibraries, NothingIsOpenedBeforeFirstUseThenEveryFunctionIsBound) {
    // A copy of the fixture no other test opens, so the process has not mapped it yet.
    const std::string file = fixture("lazy_fixture_first_use.so");
    if (::dlopen(file.c_str(), RTLD_NOW | RTLD_NOLOAD))
        GTEST_SKIP() << "this process opened the fixture already (the test is repeated)";
    const Fixture library({file});
    EXPECT_EQ(::dlopen(file.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);  // not by construction
    EXPECT_EQ(Twice(library.twice), nullptr);
    EXPECT_EQ(library.initialised.load(), 0);

    ASSERT_TRUE(library.load()) << library.error();
    EXPECT_NE(::dlopen(file.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);
    EXPECT_EQ(library.twice(21), 42);
    EXPECT_STREQ(library.name(), "fixture");
    EXPECT_TRUE(library.error().empty());
    EXPECT_NO_THROW(library.require<std::runtime_error>("Could not test"));
    EXPECT_EQ(library.initialised.load(), 1);
}

TEST(LazyLibraries, MissingLibraryIsRefusedNamingItAndItsPackage) {
    const Fixture library({"libcorvaline-not-installed.so.3"});
    EXPECT_FALSE(library.load());
    EXPECT_FALSE(library.load());  // the answer stays; nothing is retried
    EXPECT_EQ(library.initialised.load(), 0);
    EXPECT_EQ(Twice(library.twice), nullptr);
    EXPECT_TRUE(contains(library.error(), "libcorvaline-not-installed.so.3")) << library.error();
    EXPECT_EQ(library.refusal("Could not test “take.wav”"),
              "Could not test “take.wav”: Corvaline tests loading through the fixture "
              "(libcorvaline-not-installed.so.3), which could not be loaded. Install it again "
              "(on Debian: fixture1).\n" +
                  library.error());
    try {
        library.require<std::runtime_error>("Could not test");
        FAIL() << "a missing library was let through";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), library.refusal("Could not test"));
    }
}

TEST(LazyLibraries, MissingFunctionLeavesNothingBound) {
    const Fixture library({fixture()}, "corvaline_fixture_absent");
    EXPECT_FALSE(library.load());
    EXPECT_TRUE(contains(library.error(), "corvaline_fixture_absent")) << library.error();
    // The function that was there is not left half-bound either, and set-up never ran.
    EXPECT_EQ(Twice(library.twice), nullptr);
    EXPECT_EQ(Name(library.name), nullptr);
    EXPECT_EQ(library.initialised.load(), 0);
    EXPECT_TRUE(contains(library.refusal("Could not test"), "(on Debian: fixture1).\n"));
}

TEST(LazyLibraries, SeveralLibrariesAreNamedTogetherAndFunctionsComeFromTheirOwn) {
    class Pair : public LazyLibraries {
      public:
        explicit Pair(std::vector<std::string> sonames)
            : LazyLibraries({std::move(sonames), "the fixture's libraries", "tests loading",
                             "fixture1, fixture-extra1"}) {}
        Function<Twice> twice{this, "corvaline_fixture_twice", 0};
        Function<int (*)()> extra{this, "corvaline_fixture_extra", 1};
    };
    const Pair both({fixture(), fixture("lazy_fixture_extra.so")});
    ASSERT_TRUE(both.load()) << both.error();
    EXPECT_EQ(both.twice(4), 8);
    EXPECT_EQ(both.extra(), 7);

    // The extra function is looked up in the second library only, which lacks it here.
    const Pair swapped({fixture("lazy_fixture_extra.so"), fixture()});
    EXPECT_FALSE(swapped.load());
    EXPECT_TRUE(contains(swapped.error(), "corvaline_fixture_extra")) << swapped.error();
    EXPECT_EQ(Twice(swapped.twice), nullptr);

    const Pair missing({fixture(), "libcorvaline-extra-not-installed.so.1"});
    EXPECT_FALSE(missing.load());
    EXPECT_EQ(Twice(missing.twice), nullptr);
    EXPECT_TRUE(contains(missing.error(), "libcorvaline-extra-not-installed.so.1"));
    EXPECT_EQ(missing.refusal("Could not test"),
              "Could not test: Corvaline tests loading through the fixture's libraries, and "
              "they could not be loaded. Install them again (on Debian: fixture1, "
              "fixture-extra1).\n" +
                  missing.error());
}

TEST(LazyLibraries, RefusingSetUpIsAFailedLoad) {
    class Refusing : public Fixture {
      public:
        Refusing() : Fixture({fixture()}) {}

      private:
        void initialise() const override {
            throw SharedLibrary::Unavailable("lazy_fixture.so: set-up failed");
        }
    };
    const Refusing library;
    EXPECT_FALSE(library.load());
    EXPECT_EQ(library.error(), "lazy_fixture.so: set-up failed");
    EXPECT_EQ(Twice(library.twice), nullptr);
}

TEST(LazyLibraries, ConcurrentFirstUseLoadsOnce) {
    for (const bool present : {true, false}) {
        Fixture library({present ? fixture() : "libcorvaline-not-installed.so.3"});
        // A slow set-up keeps the first caller inside the load while the others arrive.
        library.initialiseTime = std::chrono::milliseconds(20);
        constexpr int kThreads = 8;
        std::latch start(kThreads);
        std::vector<int> answers(kThreads, -1);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                start.arrive_and_wait();
                // Whoever returns true may call at once: the functions are bound by then.
                answers[size_t(t)] = library.load() ? library.twice(t) : -2;
            });
        }
        for (auto& thread : threads)
            thread.join();
        for (int t = 0; t < kThreads; ++t)
            EXPECT_EQ(answers[size_t(t)], present ? 2 * t : -2) << t;
        EXPECT_EQ(library.initialised.load(), present ? 1 : 0);
    }
}

}  // namespace
}  // namespace corvaline
