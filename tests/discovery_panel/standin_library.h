#pragma once

// A search library for the panel's tests: it exports the nine QBDM_* functions the panel looks
// up, answers them from a script the test sets, and records every call. The test reaches the
// script and the record through three more C functions, found with dlsym:
//   void Standin_Script(int searchResult, const StandinModule* modules, int moduleCount);
//   const char* Standin_Calls();
//   void Standin_ResetCalls();

// One module as the scripted search reports it. Texts are copied; port is handed back as given
// (tests put it in network byte order, as the real library does).
struct StandinModule {
    const char* name;
    const char* ip;
    int port;
    int workMode;
    int appProtocol;
    int baudIndex;
    int parity;
    int dataBits;
};

// The next searches return `searchResult` and answer the getters from `modules`; an index
// outside 0..moduleCount-1 gives "" or 0.
using StandinScriptFn = void (*)(int searchResult, const StandinModule* modules, int moduleCount);
// Every call since the last reset, one a line: "StartSearchDev", "GetParity 1", ...
using StandinCallsFn = const char* (*)();
using StandinResetCallsFn = void (*)();
