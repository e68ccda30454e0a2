#include "audiocore/platform/SharedLibrary.hpp"

#include <dlfcn.h>

namespace corvaline {

namespace {

std::string loaderText(const std::string& fallback) {
    const char* text = ::dlerror();
    return text && *text ? text : fallback;
}

}  // namespace

SharedLibrary::SharedLibrary(const std::string& soname) : soname_(soname) {
    ::dlerror();
    handle_ = ::dlopen(soname.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!handle_) throw Unavailable(loaderText(soname + ": cannot be opened"));
}

void* SharedLibrary::address(const char* name) const {
    ::dlerror();
    void* found = ::dlsym(handle_, name);
    if (!found) throw Unavailable(loaderText(soname_ + ": no function " + name));
    return found;
}

}  // namespace corvaline
