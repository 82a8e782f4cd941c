#include "loopback_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <utility>

LoopbackPeer::LoopbackPeer(bool ipv6) {
    m_listen = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage storage{};
    socklen_t size = 0;
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
    if (::bind(m_listen, address, size) == 0 && ::listen(m_listen, 4) == 0 &&
        ::getsockname(m_listen, address, &size) == 0) {
        m_port = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6&>(storage).sin6_port
                            : reinterpret_cast<sockaddr_in&>(storage).sin_port);
    }
    m_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_thread = std::thread([this] { Run(); });
}

LoopbackPeer::~LoopbackPeer() {
    m_stop = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(m_wake, &one, sizeof one);
    m_thread.join();
    for (const int fd : {m_client, m_listen, m_wake}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

void LoopbackPeer::Run() {
    while (!m_stop) {
        int client = -1;
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
        std::array<pollfd, 3> entries{
            {{m_wake, POLLIN, 0}, {m_listen, POLLIN, 0}, {client, POLLIN, 0}}};
        if (::poll(entries.data(), client >= 0 ? 3 : 2, -1) < 0) {
            continue;
        }
        if (entries[0].revents != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] const auto got = ::read(m_wake, &count, sizeof count);
        }
        if (entries[1].revents != 0 && client < 0) {
            const int accepted = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            const std::lock_guard lock(m_mutex);
            m_client = accepted;
            m_everConnected = m_everConnected || accepted >= 0;
            m_changed.notify_all();
        }
        if (client >= 0 && entries[2].revents != 0) {
            std::array<std::uint8_t, 4096> bytes{};
            const ssize_t got = ::recv(client, bytes.data(), bytes.size(), 0);
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
        ::setsockopt(m_client, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    }
    ::close(m_client);
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
    if (m_client >= 0) {
        [[maybe_unused]] const auto sent =
            ::send(m_client, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
}

void LoopbackPeer::Close() {
    const std::lock_guard lock(m_mutex);
    m_ending = 1;
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(m_wake, &one, sizeof one);
}

void LoopbackPeer::Reset() {
    const std::lock_guard lock(m_mutex);
    m_ending = 2;
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(m_wake, &one, sizeof one);
}
