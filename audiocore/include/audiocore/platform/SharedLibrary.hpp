#pragma once
// A system library opened the first time something needs it, instead of by the dynamic
// loader at start-up: FFmpeg (with the hundred-odd libraries it pulls in) and SDL2 cost a
// command tens of milliseconds before main() even when it never decodes a video or plays a
// sound. The library stays loaded for the life of the process (RTLD_NODELETE): what it made
// may outlive any one caller.

#include <stdexcept>
#include <string>

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

}  // namespace corvaline
