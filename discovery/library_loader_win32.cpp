#include <windows.h>

#include <string>

#include "library_loader.h"

// Windows looks in the executable's folder first, where the installer puts the library.
void* OpenLibrary(const char* baseName) {
    if (!baseName || *baseName == '\0') {
        return nullptr;  // no name, no library
    }
    return reinterpret_cast<void*>(LoadLibraryA((std::string(baseName) + ".dll").c_str()));
}

void* LookUpFunction(void* library, const char* name) {
    if (!library) {
        return nullptr;
    }
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}
