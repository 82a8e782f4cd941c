#pragma once

#include <array>

// The device-search library, loaded by name at start and called through its nine functions.
struct SearchLibrary {
    using StartFn = int (*)();
    using TextFn = const char* (*)(int);
    using CodeFn = int (*)(int);

    void* handle = nullptr;
    StartFn QBDM_StartSearchDev = nullptr;
    TextFn QBDM_GetDevName = nullptr;
    TextFn QBDM_GetIP = nullptr;
    CodeFn QBDM_GetPort = nullptr;
    CodeFn QBDM_GetWorkMode = nullptr;
    CodeFn QBDM_GetAppProtocol = nullptr;
    CodeFn QBDM_GetBaudrateIndex = nullptr;
    CodeFn QBDM_GetParity = nullptr;
    CodeFn QBDM_GetDataBits = nullptr;

    // True when the library and all nine functions were found.
    bool Complete() const;
};

// Loads the library through the platform's usual search (on Linux the executable's run path,
// then the system's) and looks the nine functions up. Never fails: missing parts stay null.
SearchLibrary LoadSearchLibraryByName(const char* baseName);
