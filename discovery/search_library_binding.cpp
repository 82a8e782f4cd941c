#include "search_library_binding.h"

#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>

#include <array>
#include <climits>
#endif

namespace {

#ifndef _WIN32
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
#endif

void* OpenLibrary(const char* baseName) {
    if (!baseName || *baseName == '\0') {
        return nullptr;  // no name, no library
    }
#ifdef _WIN32
    return reinterpret_cast<void*>(LoadLibraryA((std::string(baseName) + ".dll").c_str()));
#else
    return OpenSharedObject("lib" + std::string(baseName) + ".so");
#endif
}

template <class Fn>
void Resolve(void* handle, const char* name, Fn& entry) {
    if (!handle) {
        return;
    }
#ifdef _WIN32
    entry = reinterpret_cast<Fn>(GetProcAddress(static_cast<HMODULE>(handle), name));
#else
    entry = reinterpret_cast<Fn>(dlsym(handle, name));
#endif
}

}  // namespace

bool SearchLibrary::Complete() const {
    return QBDM_StartSearchDev && QBDM_GetDevName && QBDM_GetIP && QBDM_GetPort &&
           QBDM_GetWorkMode && QBDM_GetAppProtocol && QBDM_GetBaudrateIndex && QBDM_GetParity &&
           QBDM_GetDataBits;
}

SearchLibrary LoadSearchLibraryByName(const char* baseName) {
    SearchLibrary library;
    library.handle = OpenLibrary(baseName);
    Resolve(library.handle, "QBDM_StartSearchDev", library.QBDM_StartSearchDev);
    Resolve(library.handle, "QBDM_GetDevName", library.QBDM_GetDevName);
    Resolve(library.handle, "QBDM_GetIP", library.QBDM_GetIP);
    Resolve(library.handle, "QBDM_GetPort", library.QBDM_GetPort);
    Resolve(library.handle, "QBDM_GetWorkMode", library.QBDM_GetWorkMode);
    Resolve(library.handle, "QBDM_GetAppProtocol", library.QBDM_GetAppProtocol);
    Resolve(library.handle, "QBDM_GetBaudrateIndex", library.QBDM_GetBaudrateIndex);
    Resolve(library.handle, "QBDM_GetParity", library.QBDM_GetParity);
    Resolve(library.handle, "QBDM_GetDataBits", library.QBDM_GetDataBits);
    return library;
}
