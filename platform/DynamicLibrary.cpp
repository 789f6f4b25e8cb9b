#include "DynamicLibrary.h"

#include <dlfcn.h>

namespace vantrel {

DynamicLibrary::~DynamicLibrary() {
    unload();
}

bool DynamicLibrary::load(const std::string& name) {
    unload();
    handle_ = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    return handle_ != nullptr;
}

void DynamicLibrary::unload() {
    if (handle_ != nullptr)
        dlclose(handle_);
    handle_ = nullptr;
}

void* DynamicLibrary::symbol(const char* name) const {
    return handle_ != nullptr ? dlsym(handle_, name) : nullptr;
}

} // namespace vantrel
