#pragma once
// System libraries opened the first time something needs them, instead of by the dynamic
// loader at start-up: FFmpeg (with the hundred-odd libraries it pulls in), SDL2 and libcurl
// cost a command tens of milliseconds before main() even when it never decodes a video, plays
// a sound or downloads a file, and a machine without one of them still runs everything that
// does not need it. A library stays loaded for the life of the process (RTLD_NODELETE): what
// it made may outlive any one caller.

#include <cstddef>
#include <mutex>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

namespace corvaline {

class SharedLibrary {
  public:
    /// The library could not be opened, or lacks a function; what() is the dynamic loader's
    /// text (which names the file). Callers word it for the user.
    class Unavailable : public std::runtime_error {
      public:
        using std::runtime_error::runtime_error;
    };

    /// Opens `soname` ("libavcodec.so.59") with RTLD_NOW | RTLD_LOCAL. Throws Unavailable.
    explicit SharedLibrary(const std::string& soname);

    const std::string& soname() const { return soname_; }

    /// The function `name` of the library as a pointer of type F (write
    /// `function<decltype(&::name)>("name")` to take its type from the library's header).
    /// Throws Unavailable when the library has no such function.
    template <typename F>
    F function(const char* name) const {
        return reinterpret_cast<F>(address(name));
    }

  private:
    void* address(const char* name) const;

    std::string soname_;
    void* handle_ = nullptr;
};

/// One or more libraries opened together on first use, with the functions the engine calls
/// of them. A subclass declares each function once, as a typed member
/// (CORVALINE_LIBRARY_FUNCTION), and describes the libraries for the user; nothing is opened
/// until load() or require() is first called.
///
/// Loading is tried once per object: the first call opens the libraries in order, binds
/// every declared function and runs initialise(); calls from other threads meanwhile wait for
/// it, and every later call returns its result at once. A missing library, a missing function
/// or a refusing initialise() leaves every function unbound (null) and error() set; it is not
/// retried. Once load() has returned true, the functions may be called from any thread.
///
/// The refusal a user reads names what Corvaline does through the libraries, the library
/// (with its file name when there is only one) and the Debian packages that install it, with
/// the dynamic loader's own text on a second line:
///   "<context>: Corvaline plays sound through SDL2 (libSDL2-2.0.so.0), which could not be
///   loaded. Install it again (on Debian: libsdl2-2.0-0).\n<loader text>"
/// and for several libraries
///   "<context>: Corvaline reads … through FFmpeg's libraries, and they could not be loaded.
///   Install them again (on Debian: libavformat59, …).\n<loader text>"
class LazyLibraries {
  public:
    /// The libraries and what the user is told about them.
    struct Description {
        /// Opened in this order (a dependency before what depends on it).
        std::vector<std::string> sonames;
        /// How the user knows them: "SDL2", "FFmpeg's libraries".
        std::string name;
        /// What Corvaline does through them, after "Corvaline ": "plays sound".
        std::string purpose;
        /// The Debian packages that install them: "libsdl2-2.0-0".
        std::string packages;
    };

    explicit LazyLibraries(Description description);
    virtual ~LazyLibraries() = default;
    // Declared functions point into the object.
    LazyLibraries(const LazyLibraries&) = delete;
    LazyLibraries& operator=(const LazyLibraries&) = delete;

    const Description& description() const { return description_; }

    /// Opens the libraries and binds the functions the first time it is called (from any
    /// thread, once); true when they are usable.
    bool load() const;

    /// Why loading failed: the dynamic loader's text, which names the file or the function.
    /// Read it after load() has returned false on this thread.
    const std::string& error() const { return error_; }

    /// The user's message when the libraries cannot be loaded: `context` (what could not be
    /// done: "Could not read “take.m4a”"), what is missing and how to install it, and error().
    std::string refusal(const std::string& context) const;

    /// Loads the libraries; throws Failure(refusal(context)) when they cannot be loaded.
    template <typename Failure>
    void require(const std::string& context) const {
        if (!load()) throw Failure(refusal(context));
    }

  protected:
    /// A function of the library number `library` in Description::sonames, called like the
    /// function itself once load() has bound it (null before, and after a failed load).
    template <typename F>
    class Function {
        static_assert(std::is_pointer_v<F> && std::is_function_v<std::remove_pointer_t<F>>,
                      "a library function is declared with its pointer type");

      public:
        Function(LazyLibraries* owner, const char* name, std::size_t library = 0) {
            owner->declare(name, library, &address_);
        }
        Function(const Function&) = delete;
        Function& operator=(const Function&) = delete;

        operator F() const { return reinterpret_cast<F>(address_); }

      private:
        // Bound by load(), which is const to its callers.
        mutable void* address_ = nullptr;
    };

    /// Runs once, after every function is bound and before load() returns true: the
    /// library's own set-up. Throws SharedLibrary::Unavailable (with text naming the library)
    /// to refuse it.
    virtual void initialise() const {}

  private:
    struct Declared {
        const char* name;
        std::size_t library;
        void** address;
    };

    void declare(const char* name, std::size_t library, void** address);
    void open() const;

    Description description_;
    std::vector<Declared> declared_;
    mutable std::once_flag once_;
    mutable std::string error_;
    mutable bool loaded_ = false;
};

/// Declares, in a LazyLibraries subclass, the member `name`: the library function ::name
/// with its type taken from the library's header, found in the library numbered by the
/// optional second argument (default: the first).
#define CORVALINE_LIBRARY_FUNCTION(name, ...)  \
    Function<decltype(&::name)> name {         \
        this, #name __VA_OPT__(, ) __VA_ARGS__ \
    }

}  // namespace corvaline
