#include "loopback_peer.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <array>
#include <utility>

// The few calls where Winsock and POSIX sockets differ. The wake-up is an eventfd on Linux and
// a UDP socket that sends to itself on Windows (WSAPoll watches sockets only).
namespace {

using Socket = std::intptr_t;

#ifdef _WIN32
using PollEntry = WSAPOLLFD;
using Size = int;

void CloseSocket(Socket socket) {
    ::closesocket(static_cast<SOCKET>(socket));
}
int Poll(PollEntry* entries, unsigned count) {
    return ::WSAPoll(entries, count, -1);
}
Socket MakeWake() {
    WSADATA data{};
    ::WSAStartup(MAKEWORD(2, 2), &data);
    const SOCKET wake = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof address;
    auto* plain = reinterpret_cast<sockaddr*>(&address);
    ::bind(wake, plain, size);
    ::getsockname(wake, plain, &size);
    ::connect(wake, plain, size);
    u_long nonBlocking = 1;
    ::ioctlsocket(wake, FIONBIO, &nonBlocking);
    return static_cast<Socket>(wake);
}
void Wake(Socket wake) {
    const char byte = 1;
    ::send(static_cast<SOCKET>(wake), &byte, 1, 0);
}
void DrainWake(Socket wake) {
    std::array<char, 64> bytes{};
    while (::recv(static_cast<SOCKET>(wake), bytes.data(), static_cast<int>(bytes.size()), 0) > 0) {
    }
}
Socket Accept(Socket listener) {
    const SOCKET accepted = ::accept(static_cast<SOCKET>(listener), nullptr, nullptr);
    return accepted == INVALID_SOCKET ? -1 : static_cast<Socket>(accepted);
}
Socket MakeSocket(int family) {
    WSADATA data{};
    ::WSAStartup(MAKEWORD(2, 2), &data);
    const SOCKET made = ::socket(family, SOCK_STREAM, IPPROTO_TCP);
    return made == INVALID_SOCKET ? -1 : static_cast<Socket>(made);
}
#else
using PollEntry = pollfd;
using Size = socklen_t;

void CloseSocket(Socket socket) {
    ::close(static_cast<int>(socket));
}
int Poll(PollEntry* entries, unsigned count) {
    return ::poll(entries, count, -1);
}
Socket MakeWake() {
    return ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}
void Wake(Socket wake) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(static_cast<int>(wake), &one, sizeof one);
}
void DrainWake(Socket wake) {
    std::uint64_t count = 0;
    [[maybe_unused]] const auto got = ::read(static_cast<int>(wake), &count, sizeof count);
}
Socket Accept(Socket listener) {
    return ::accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC);
}
Socket MakeSocket(int family) {
    return ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
}
#endif

// What the socket calls take: a descriptor on Linux, a SOCKET on Windows.
auto Native(Socket socket) {
#ifdef _WIN32
    return static_cast<SOCKET>(socket);
#else
    return static_cast<int>(socket);
#endif
}

PollEntry Entry(Socket socket) {
    PollEntry entry{};
    entry.fd = Native(socket);
    entry.events = POLLIN;
    return entry;
}

}  // namespace

LoopbackPeer::LoopbackPeer(bool ipv6) {
    m_listen = MakeSocket(ipv6 ? AF_INET6 : AF_INET);
    sockaddr_storage storage{};
    Size size = 0;
    if (ipv6) {
        auto& address = reinterpret_cast<sockaddr_in6&>(storage);
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_loopback;
        size = sizeof address;
    } else {
        auto& address = reinterpret_cast<sockaddr_in&>(storage);
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        size = sizeof address;
    }
    auto* address = reinterpret_cast<sockaddr*>(&storage);
    if (::bind(Native(m_listen), address, size) == 0 && ::listen(Native(m_listen), 4) == 0 &&
        ::getsockname(Native(m_listen), address, &size) == 0) {
        m_port = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6&>(storage).sin6_port
                            : reinterpret_cast<sockaddr_in&>(storage).sin_port);
    }
    m_wake = MakeWake();
    m_thread = std::thread([this] { Run(); });
}

LoopbackPeer::~LoopbackPeer() {
    m_stop = true;
    Wake(m_wake);
    m_thread.join();
    for (const Socket socket : {m_client, m_listen, m_wake}) {
        if (socket >= 0) {
            CloseSocket(socket);
        }
    }
}

void LoopbackPeer::Run() {
    while (!m_stop) {
        Socket client = -1;
        int ending = 0;
        {
            const std::lock_guard lock(m_mutex);
            client = m_client;
            ending = std::exchange(m_ending, 0);
        }
        if (ending != 0 && client >= 0) {
            EndClient(ending == 2);
            continue;
        }
        std::array<PollEntry, 3> entries{{Entry(m_wake), Entry(m_listen), Entry(client)}};
        if (Poll(entries.data(), client >= 0 ? 3U : 2U) < 0) {
            continue;
        }
        if (entries[0].revents != 0) {
            DrainWake(m_wake);
        }
        if (entries[1].revents != 0 && client < 0) {
            const Socket accepted = Accept(m_listen);
            const std::lock_guard lock(m_mutex);
            m_client = accepted;
            m_everConnected = m_everConnected || accepted >= 0;
            m_changed.notify_all();
        }
        if (client >= 0 && entries[2].revents != 0) {
            std::array<char, 4096> bytes{};
            const auto got =
                ::recv(Native(client), bytes.data(), static_cast<Size>(bytes.size()), 0);
            if (got <= 0) {
                EndClient(false);
                continue;
            }
            const std::lock_guard lock(m_mutex);
            m_arrivals.push_back(
                {std::chrono::steady_clock::now(), {bytes.begin(), bytes.begin() + got}});
            m_changed.notify_all();
        }
    }
}

void LoopbackPeer::EndClient(bool reset) {
    const std::lock_guard lock(m_mutex);
    if (m_client < 0) {
        return;
    }
    if (reset) {
        const linger abortive{1, 0};  // closing now sends a reset
        ::setsockopt(Native(m_client), SOL_SOCKET, SO_LINGER,
                     reinterpret_cast<const char*>(&abortive), sizeof abortive);
    }
    CloseSocket(m_client);
    m_client = -1;
    m_changed.notify_all();
}

bool LoopbackPeer::WaitConnected(std::chrono::milliseconds within) {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, within, [this] { return m_everConnected; });
}

std::vector<LoopbackPeer::Arrival> LoopbackPeer::Arrivals() const {
    const std::lock_guard lock(m_mutex);
    return m_arrivals;
}

std::vector<std::uint8_t> LoopbackPeer::Received() const {
    std::vector<std::uint8_t> all;
    for (const Arrival& arrival : Arrivals()) {
        all.insert(all.end(), arrival.bytes.begin(), arrival.bytes.end());
    }
    return all;
}

void LoopbackPeer::ClearReceived() {
    const std::lock_guard lock(m_mutex);
    m_arrivals.clear();
}

void LoopbackPeer::Send(const std::vector<std::uint8_t>& bytes) {
    const std::lock_guard lock(m_mutex);
    if (m_client < 0) {
        return;
    }
#ifdef _WIN32
    ::send(Native(m_client), reinterpret_cast<const char*>(bytes.data()),
           static_cast<int>(bytes.size()), 0);
#else
    [[maybe_unused]] const auto sent =
        ::send(Native(m_client), bytes.data(), bytes.size(), MSG_NOSIGNAL);
#endif
}

void LoopbackPeer::Close() {
    const std::lock_guard lock(m_mutex);
    m_ending = 1;
    Wake(m_wake);
}

void LoopbackPeer::Reset() {
    const std::lock_guard lock(m_mutex);
    m_ending = 2;
    Wake(m_wake);
}

SilentListener::SilentListener() : m_listener(MakeSocket(AF_INET)), m_filler(MakeSocket(AF_INET)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Size size = sizeof address;
    auto* plain = reinterpret_cast<sockaddr*>(&address);
    ::bind(Native(m_listener), plain, size);
    ::listen(Native(m_listener), 0);
    ::getsockname(Native(m_listener), plain, &size);
    port = ntohs(address.sin_port);
    ::connect(Native(m_filler), plain, size);
}

SilentListener::~SilentListener() {
    CloseSocket(m_filler);
    CloseSocket(m_listener);
}
