#include "search_library.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string_view>
#include <vector>

#include "discovery_protocol.h"
#include "search_scope.h"
#include "search_socket.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kSearchWindow{kSearchWindowMs};
constexpr std::uint32_t kLoopbackBroadcast = 0x7FFFFFFF;  // 127.255.255.255
constexpr std::uint32_t kLoopbackAddress = 0x7F000001;    // 127.0.0.1
constexpr std::string_view kAnyAddress = "0.0.0.0";

// The last search's modules; the text pointers handed out point into these.
struct SearchResults {
    std::mutex mutex;
    std::vector<DiscoveredDevice> devices;
};

// The library's state is never destroyed: a program may end while a search it no longer waits
// for is still listening on another thread, and that search must find its results and its lock
// as they were when it ends.
SearchResults& Results() {
    static auto* const results = new SearchResults;
    return *results;
}

// One search at a time: a second caller waits for the first to finish.
std::mutex& SearchMutex() {
    static auto* const mutex = new std::mutex;
    return *mutex;
}

std::uint32_t NextSearchId() {
    static std::mt19937 generator{std::random_device{}()};
    return static_cast<std::uint32_t>(generator());
}

// A value that names no scope keeps the search on this machine; that is said once per process.
bool LoopbackOnly() {
    const char* value = std::getenv("KESTREL_DISCOVERY_SCOPE");
    const std::optional<SearchScope> scope = ParseSearchScope(value);
    if (!scope) {
        static std::once_flag warned;
        std::call_once(warned, [value] {
            std::fprintf(stderr,
                         "KESTREL_DISCOVERY_SCOPE=\"%s\" is not a known scope (\"loopback\", or "
                         "unset for every interface); searching on loopback only\n",
                         value);
        });
        return true;
    }
    return *scope == SearchScope::Loopback;
}

std::uint16_t TargetPort() {
    const char* text = std::getenv("KESTREL_DISCOVERY_PORT");
    if (text == nullptr) {
        return kDiscoveryPort;
    }
    char* end = nullptr;
    const long port = std::strtol(text, &end, 10);
    const bool valid = end != text && *end == '\0' && port >= 1 && port <= 65535;
    return valid ? static_cast<std::uint16_t>(port) : kDiscoveryPort;
}

void AddTarget(std::vector<std::uint32_t>& targets, std::uint32_t address) {
    if (std::find(targets.begin(), targets.end(), address) == targets.end()) {
        targets.push_back(address);
    }
}

// Loopback always: its broadcast reaches every module on this machine; the plain address
// covers hosts whose loopback has no broadcast route.
std::vector<std::uint32_t> RequestTargets(bool loopbackOnly) {
    std::vector<std::uint32_t> targets;
    AddTarget(targets, kLoopbackBroadcast);
    AddTarget(targets, kLoopbackAddress);
    if (!loopbackOnly) {
        for (const std::uint32_t broadcast : InterfaceBroadcasts()) {
            AddTarget(targets, broadcast);
        }
    }
    return targets;
}

void SendRequests(const SearchSocket& sock, std::uint32_t searchId,
                  const std::vector<std::uint32_t>& targets, std::uint16_t port) {
    const auto request = EncodeSearchRequest(searchId);
    for (const std::uint32_t target : targets) {
        sock.SendTo(target, port, request);
    }
}

bool SameModule(const DiscoveredDevice& a, const DiscoveredDevice& b) {
    return a.ip == b.ip && a.port == b.port;
}

// Reads every answer waiting on the socket into `found`, one entry per module.
void DrainAnswers(const SearchSocket& sock, std::uint32_t searchId,
                  std::vector<DiscoveredDevice>& found) {
    std::array<std::uint8_t, kMaxAnswerSize + 1> buffer{};
    while (found.size() < static_cast<std::size_t>(kMaxSearchResults)) {
        const auto datagram = sock.Receive(buffer);
        if (!datagram) {
            return;
        }
        const std::size_t kept = datagram->size;
        auto dev = ParseSearchAnswer(std::span(buffer.data(), kept), searchId);
        if (!dev) {
            continue;
        }
        if (dev->ip == kAnyAddress) {
            dev->ip = datagram->fromIp;
        }
        const bool known = std::any_of(found.begin(), found.end(), [&](const DiscoveredDevice& d) {
            return SameModule(d, *dev);
        });
        if (!known) {
            found.push_back(std::move(*dev));
        }
    }
}

std::vector<DiscoveredDevice> CollectAnswers(const SearchSocket& sock, std::uint32_t searchId,
                                             Clock::time_point deadline) {
    std::vector<DiscoveredDevice> found;
    while (found.size() < static_cast<std::size_t>(kMaxSearchResults)) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            break;
        }
        const SearchSocket::Wait ready = sock.WaitReadable(static_cast<int>(left.count()));
        if (ready == SearchSocket::Wait::Failed) {
            break;
        }
        if (ready == SearchSocket::Wait::Readable) {
            DrainAnswers(sock, searchId, found);
        }
    }
    return found;
}

std::vector<DiscoveredDevice> Search() {
    const bool loopbackOnly = LoopbackOnly();
    const SearchSocket sock(loopbackOnly);
    if (!sock.Valid()) {
        return {};
    }
    const std::uint32_t searchId = NextSearchId();
    SendRequests(sock, searchId, RequestTargets(loopbackOnly), TargetPort());
    return CollectAnswers(sock, searchId, Clock::now() + kSearchWindow);
}

// The port as the panel expects it: its two bytes in network order, read as a host-order number.
std::uint16_t NetworkOrder(std::uint16_t port) {
    const std::array<std::uint8_t, 2> wire{static_cast<std::uint8_t>(port >> 8),
                                           static_cast<std::uint8_t>(port & 0xFF)};
    std::uint16_t value = 0;
    std::memcpy(&value, wire.data(), wire.size());
    return value;
}

template <typename Value, typename Getter>
Value FieldOf(int index, Value fallback, Getter get) {
    SearchResults& results = Results();
    const std::lock_guard lock(results.mutex);
    if (index < 0 || static_cast<std::size_t>(index) >= results.devices.size()) {
        return fallback;
    }
    return get(results.devices[static_cast<std::size_t>(index)]);
}

}  // namespace

extern "C" {

int QBDM_StartSearchDev(void) {
    const std::lock_guard searching(SearchMutex());
    std::vector<DiscoveredDevice> found = Search();
    SearchResults& results = Results();
    const std::lock_guard lock(results.mutex);
    results.devices = std::move(found);
    return static_cast<int>(results.devices.size());
}

const char* QBDM_GetDevName(int index) {
    return FieldOf(index, "", [](const DiscoveredDevice& d) { return d.name.c_str(); });
}

const char* QBDM_GetIP(int index) {
    return FieldOf(index, "", [](const DiscoveredDevice& d) { return d.ip.c_str(); });
}

int QBDM_GetPort(int index) {
    return FieldOf(index, 0, [](const DiscoveredDevice& d) { return int{NetworkOrder(d.port)}; });
}

int QBDM_GetWorkMode(int index) {
    return FieldOf(index, 0, [](const DiscoveredDevice& d) { return int{d.workMode}; });
}

int QBDM_GetAppProtocol(int index) {
    return FieldOf(index, 0, [](const DiscoveredDevice& d) { return int{d.appProtocol}; });
}

int QBDM_GetBaudrateIndex(int index) {
    return FieldOf(index, 0, [](const DiscoveredDevice& d) { return int{d.baudIndex}; });
}

int QBDM_GetParity(int index) {
    return FieldOf(index, 0, [](const DiscoveredDevice& d) { return int{d.parity}; });
}

int QBDM_GetDataBits(int index) {
    return FieldOf(index, 0, [](const DiscoveredDevice& d) { return int{d.dataBits}; });
}

}  // extern "C"
