#include "search_library_binding.h"

#include "library_loader.h"

namespace {

template <class Fn>
void Resolve(void* handle, const char* name, Fn& entry) {
    entry = reinterpret_cast<Fn>(LookUpFunction(handle, name));
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
