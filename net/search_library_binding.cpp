#include "search_library_binding.h"

#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

void* OpenLibrary(const char* baseName) {
    if (!baseName || *baseName == '\0') {
        return nullptr;  // no name, no library
    }
#ifdef _WIN32
    return reinterpret_cast<void*>(LoadLibraryA((std::string(baseName) + ".dll").c_str()));
#else
    return dlopen(("lib" + std::string(baseName) + ".so").c_str(), RTLD_NOW | RTLD_LOCAL);
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
