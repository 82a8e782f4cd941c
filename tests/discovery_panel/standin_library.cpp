// The scripted search library. Built twice: complete (libKestrelStandin.so) and without
// QBDM_GetDataBits (libKestrelStandinMissing.so, STANDIN_WITHOUT_DATA_BITS).
#include "standin_library.h"

#include <string>
#include <vector>

#define STANDIN_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

struct Module {
    std::string name;
    std::string ip;
    int port = 0;
    int workMode = 0;
    int appProtocol = 0;
    int baudIndex = 0;
    int parity = 0;
    int dataBits = 0;
};

int g_searchResult = 0;
std::vector<Module> g_modules;
std::string g_calls;

void Record(const char* function, int index = -1) {
    g_calls += function;
    if (index >= 0) {
        g_calls += ' ' + std::to_string(index);
    }
    g_calls += '\n';
}

const Module* At(int index) {
    if (index < 0 || static_cast<std::size_t>(index) >= g_modules.size()) {
        return nullptr;
    }
    return &g_modules[static_cast<std::size_t>(index)];
}

const char* Text(const char* function, int index, std::string Module::*field) {
    Record(function, index);
    const Module* module = At(index);
    return module ? (module->*field).c_str() : "";
}

int Code(const char* function, int index, int Module::*field) {
    Record(function, index);
    const Module* module = At(index);
    return module ? module->*field : 0;
}

}  // namespace

STANDIN_EXPORT void Standin_Script(int searchResult, const StandinModule* modules,
                                   int moduleCount) {
    g_searchResult = searchResult;
    g_modules.clear();
    for (int n = 0; n < moduleCount; ++n) {
        const StandinModule& m = modules[n];
        g_modules.push_back({m.name ? m.name : "", m.ip ? m.ip : "", m.port, m.workMode,
                             m.appProtocol, m.baudIndex, m.parity, m.dataBits});
    }
}

STANDIN_EXPORT const char* Standin_Calls() {
    return g_calls.c_str();
}

STANDIN_EXPORT void Standin_ResetCalls() {
    g_calls.clear();
}

STANDIN_EXPORT int QBDM_StartSearchDev() {
    Record("StartSearchDev");
    return g_searchResult;
}

STANDIN_EXPORT const char* QBDM_GetDevName(int index) {
    return Text("GetDevName", index, &Module::name);
}

STANDIN_EXPORT const char* QBDM_GetIP(int index) {
    return Text("GetIP", index, &Module::ip);
}

STANDIN_EXPORT int QBDM_GetPort(int index) {
    return Code("GetPort", index, &Module::port);
}

STANDIN_EXPORT int QBDM_GetWorkMode(int index) {
    return Code("GetWorkMode", index, &Module::workMode);
}

STANDIN_EXPORT int QBDM_GetAppProtocol(int index) {
    return Code("GetAppProtocol", index, &Module::appProtocol);
}

STANDIN_EXPORT int QBDM_GetBaudrateIndex(int index) {
    return Code("GetBaudrateIndex", index, &Module::baudIndex);
}

STANDIN_EXPORT int QBDM_GetParity(int index) {
    return Code("GetParity", index, &Module::parity);
}

#ifndef STANDIN_WITHOUT_DATA_BITS
STANDIN_EXPORT int QBDM_GetDataBits(int index) {
    return Code("GetDataBits", index, &Module::dataBits);
}
#endif
