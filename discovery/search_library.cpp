#include "search_library.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <string_view>
#include <vector>

#include "discovery_protocol.h"
#include "search_scope.h"
#include "unique_fd.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kSearchWindow{kSearchWindowMs};
constexpr in_addr_t kLoopbackBroadcast = 0x7FFFFFFF;  // 127.255.255.255
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

void AddTarget(std::vector<in_addr>& targets, in_addr_t hostOrder) {
    in_addr address{};
    address.s_addr = htonl(hostOrder);
    const bool known = std::any_of(targets.begin(), targets.end(),
                                   [&](const in_addr& a) { return a.s_addr == address.s_addr; });
    if (!known) {
        targets.push_back(address);
    }
}

// The broadcast address of every IPv4 interface that is up and can broadcast.
void AddInterfaceBroadcasts(std::vector<in_addr>& targets) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return;
    }
    for (const ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
        const unsigned flags = i->ifa_flags;
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET || (flags & IFF_UP) == 0 ||
            (flags & IFF_BROADCAST) == 0 || (flags & IFF_LOOPBACK) != 0 ||
            i->ifa_broadaddr == nullptr) {
            continue;
        }
        const auto* broadcast = reinterpret_cast<const sockaddr_in*>(i->ifa_broadaddr);
        AddTarget(targets, ntohl(broadcast->sin_addr.s_addr));
    }
    freeifaddrs(list);
}

// Loopback always: its broadcast reaches every module on this machine; the plain address
// covers hosts whose loopback has no broadcast route.
std::vector<in_addr> RequestTargets(bool loopbackOnly) {
    std::vector<in_addr> targets;
    AddTarget(targets, kLoopbackBroadcast);
    AddTarget(targets, INADDR_LOOPBACK);
    if (!loopbackOnly) {
        AddInterfaceBroadcasts(targets);
    }
    return targets;
}

UniqueFd OpenSearchSocket(bool loopbackOnly) {
    UniqueFd sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!sock.Valid()) {
        return {};
    }
    const int on = 1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(loopbackOnly ? INADDR_LOOPBACK : INADDR_ANY);
    if (setsockopt(sock.Get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
        bind(sock.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        return {};
    }
    return sock;
}

void SendRequests(int sock, std::uint32_t searchId, const std::vector<in_addr>& targets,
                  std::uint16_t port) {
    const auto request = EncodeSearchRequest(searchId);
    for (const in_addr& target : targets) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr = target;
        to.sin_port = htons(port);
        // A target that cannot be reached (interface going down) is simply skipped.
        sendto(sock, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&to),
               sizeof to);
    }
}

bool SameModule(const DiscoveredDevice& a, const DiscoveredDevice& b) {
    return a.ip == b.ip && a.port == b.port;
}

// Reads every answer waiting on the socket into `found`, one entry per module.
void DrainAnswers(int sock, std::uint32_t searchId, std::vector<DiscoveredDevice>& found) {
    std::array<std::uint8_t, kMaxAnswerSize + 1> buffer{};
    while (found.size() < static_cast<std::size_t>(kMaxSearchResults)) {
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        const ssize_t got = recvfrom(sock, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (got < 0) {
            return;
        }
        const std::size_t kept = std::min(static_cast<std::size_t>(got), buffer.size());
        auto dev = ParseSearchAnswer(std::span(buffer.data(), kept), searchId);
        if (!dev) {
            continue;
        }
        if (dev->ip == kAnyAddress) {
            std::array<char, INET_ADDRSTRLEN> text{};
            inet_ntop(AF_INET, &from.sin_addr, text.data(), text.size());
            dev->ip = text.data();
        }
        const bool known = std::any_of(found.begin(), found.end(), [&](const DiscoveredDevice& d) {
            return SameModule(d, *dev);
        });
        if (!known) {
            found.push_back(std::move(*dev));
        }
    }
}

std::vector<DiscoveredDevice> CollectAnswers(int sock, std::uint32_t searchId,
                                             Clock::time_point deadline) {
    std::vector<DiscoveredDevice> found;
    while (found.size() < static_cast<std::size_t>(kMaxSearchResults)) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd fd{sock, POLLIN, 0};
        const int ready = poll(&fd, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if (ready > 0) {
            DrainAnswers(sock, searchId, found);
        }
    }
    return found;
}

std::vector<DiscoveredDevice> Search() {
    const bool loopbackOnly = LoopbackOnly();
    const UniqueFd sock = OpenSearchSocket(loopbackOnly);
    if (!sock.Valid()) {
        return {};
    }
    const std::uint32_t searchId = NextSearchId();
    SendRequests(sock.Get(), searchId, RequestTargets(loopbackOnly), TargetPort());
    return CollectAnswers(sock.Get(), searchId, Clock::now() + kSearchWindow);
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
    return FieldOf(index, 0, [](const DiscoveredDevice& d) { return int{htons(d.port)}; });
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
