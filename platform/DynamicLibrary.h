// Loading a shared library at run time and looking its functions up by name: the seam through
// which the codec and decoder stand-ins reach the libraries they are built on, so that a missing
// library makes a feature unavailable instead of stopping the program from starting.
#pragma once

#include <string>

namespace vantrel {

// One loaded library; unloaded when destroyed. Not copyable.
class DynamicLibrary {
public:
    DynamicLibrary() = default;
    ~DynamicLibrary();
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;

    // Loads the library of file name `name` (searched the system's way), unloading a former one.
    // False when it cannot be loaded.
    bool load(const std::string& name);
    void unload();
    bool loaded() const { return handle_ != nullptr; }

    // The address of the function `name`, or null when the library lacks it or is not loaded.
    void* symbol(const char* name) const;
    // Looks `name` up as a function of the type of `function`; false when it is missing.
    template <typename F> bool resolve(F*& function, const char* name) const {
        function = reinterpret_cast<F*>(symbol(name));
        return function != nullptr;
    }

private:
    void* handle_ = nullptr;
};

} // namespace vantrel
