#include "core/LibraryLoader.h"

#include <dlfcn.h>
#include <sys/stat.h>

namespace kestrova {

void* loadLibrary(const std::string& programDir, const std::string& fileName, std::string& error) {
    std::string local = programDir + "/" + fileName;
    struct stat st {};
    if (!programDir.empty() && ::stat(local.c_str(), &st) == 0) {
        if (void* h = ::dlopen(local.c_str(), RTLD_NOW | RTLD_LOCAL))
            return h;
        const char* e = ::dlerror();
        error = e ? e : local;
        return nullptr;
    }
    if (void* h = ::dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL))
        return h;
    const char* e = ::dlerror();
    error = e ? e : fileName;
    return nullptr;
}

void* librarySymbol(void* handle, const char* name, std::string& error) {
    ::dlerror();
    void* sym = ::dlsym(handle, name);
    if (!sym) {
        const char* e = ::dlerror();
        error = e ? e : name;
    }
    return sym;
}

} // namespace kestrova
