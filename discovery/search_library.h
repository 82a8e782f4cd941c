#pragma once

// The module search library (libDAVazIvurirU2.so; DAVazIvurirU2.dll on Windows) as the panel
// loads it: nine C functions.
// A search broadcasts a discovery request and collects answers for kSearchWindowMs; its results
// and every text pointer handed out stay valid until the next search. An index outside
// 0..count-1 gives "" or 0.
//
// KESTREL_DISCOVERY_SCOPE=loopback (any case, surrounding blanks ignored) sends the request to
// loopback only (127.255.255.255 and 127.0.0.1); unset, it also goes to the broadcast address of
// every IPv4 interface that is up. Any other value keeps the search on loopback and is reported
// once on standard error.
// KESTREL_DISCOVERY_PORT=<1..65535> sends to that UDP port instead of kDiscoveryPort.

#if defined(_WIN32)
#define KESTREL_SEARCH_EXPORT __declspec(dllexport)
#else
#define KESTREL_SEARCH_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
inline constexpr int kSearchWindowMs = 1000;  // answers are taken this long after the request
inline constexpr int kMaxSearchResults = 256;
extern "C" {
#endif

// Searches and returns the number of modules found (each ip + TCP port once).
KESTREL_SEARCH_EXPORT int QBDM_StartSearchDev(void);
KESTREL_SEARCH_EXPORT const char* QBDM_GetDevName(int index);
KESTREL_SEARCH_EXPORT const char* QBDM_GetIP(int index);
// The TCP port in network byte order in the low 16 bits.
KESTREL_SEARCH_EXPORT int QBDM_GetPort(int index);
KESTREL_SEARCH_EXPORT int QBDM_GetWorkMode(int index);     // 0 = TCP server
KESTREL_SEARCH_EXPORT int QBDM_GetAppProtocol(int index);  // 1 = Modbus TCP, 0 = RTU framing
KESTREL_SEARCH_EXPORT int QBDM_GetBaudrateIndex(int index);
KESTREL_SEARCH_EXPORT int QBDM_GetParity(int index);
KESTREL_SEARCH_EXPORT int QBDM_GetDataBits(int index);

#ifdef __cplusplus
}
#endif
