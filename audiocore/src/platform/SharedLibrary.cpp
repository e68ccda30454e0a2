#include "audiocore/platform/SharedLibrary.hpp"

#include <dlfcn.h>

#include <utility>

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

LazyLibraries::LazyLibraries(Description description) : description_(std::move(description)) {
    if (description_.sonames.empty())
        throw std::invalid_argument("LazyLibraries: no library to open");
}

void LazyLibraries::declare(const char* name, std::size_t library, void** address) {
    if (library >= description_.sonames.size())
        throw std::invalid_argument(std::string("LazyLibraries: ") + name +
                                    " belongs to no listed library");
    declared_.push_back({name, library, address});
}

bool LazyLibraries::load() const {
    std::call_once(once_, [this] { open(); });
    return loaded_;
}

void LazyLibraries::open() const {
    try {
        std::vector<SharedLibrary> libraries;
        libraries.reserve(description_.sonames.size());
        for (const std::string& soname : description_.sonames)
            libraries.emplace_back(soname);
        for (const Declared& function : declared_)
            *function.address = libraries[function.library].function<void*>(function.name);
        initialise();
        loaded_ = true;
    } catch (const SharedLibrary::Unavailable& e) {
        for (const Declared& function : declared_)
            *function.address = nullptr;
        error_ = e.what();
    }
}

std::string LazyLibraries::refusal(const std::string& context) const {
    const Description& d = description_;
    const bool several = d.sonames.size() > 1;
    return context + ": Corvaline " + d.purpose + " through " + d.name +
           (several ? ", and they could not be loaded. Install them again"
                    : " (" + d.sonames.front() + "), which could not be loaded. Install it again") +
           " (on Debian: " + d.packages + ")." + (error_.empty() ? "" : "\n" + error_);
}

}  // namespace corvaline
