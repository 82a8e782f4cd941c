#pragma once

// The platform's run-time loader (dlopen on POSIX, LoadLibrary on Windows), as the search
// library's binding uses it.

// The library of that base name (DAVazIvurirU2: libDAVazIvurirU2.so, DAVazIvurirU2.dll), or
// null when it cannot be loaded.
void* OpenLibrary(const char* baseName);
// The address of the named function in an open library, null when it has none.
void* LookUpFunction(void* library, const char* name);
