#include <dlfcn.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <string>

#include "library_loader.h"

namespace {

// The folder of the running executable, with its trailing slash; empty if unknown.
std::string ExecutableFolder() {
    std::array<char, PATH_MAX> path{};
    const ssize_t length = readlink("/proc/self/exe", path.data(), path.size() - 1);
    if (length <= 0) {
        return {};
    }
    const std::string executable(path.data(), static_cast<std::size_t>(length));
    return executable.substr(0, executable.rfind('/') + 1);
}

// Beside the executable (the build tree), in its installed library folder, then the system's
// search. The folders are tried by path because a dlopen made through an interposed loader (as
// under the sanitizers) does not see the executable's run path.
void* OpenSharedObject(const std::string& fileName) {
    const std::string folder = ExecutableFolder();
    for (const std::string& candidate :
         {folder + fileName, folder + "../lib/kestrel/" + fileName}) {
        if (!folder.empty() && access(candidate.c_str(), F_OK) == 0) {
            return dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
        }
    }
    return dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL);
}

}  // namespace

void* OpenLibrary(const char* baseName) {
    if (!baseName || *baseName == '\0') {
        return nullptr;  // no name, no library
    }
    return OpenSharedObject("lib" + std::string(baseName) + ".so");
}

void* LookUpFunction(void* library, const char* name) {
    return library ? dlsym(library, name) : nullptr;
}
