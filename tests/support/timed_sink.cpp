#include "timed_sink.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

TimedSink::TimedSink() {
    m_listen = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(m_listen, 1);
    socklen_t length = sizeof address;
    getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { Run(); });
}

TimedSink::~TimedSink() {
    m_stop = true;
    m_thread.join();
    if (m_client >= 0) {
        close(m_client);
    }
    close(m_listen);
}

void TimedSink::Run() {
    while (!m_stop) {
        pollfd watch{m_client >= 0 ? m_client : m_listen, POLLIN, 0};
        if (poll(&watch, 1, 10) <= 0) {
            continue;
        }
        if (m_client < 0) {
            const int client = accept(m_listen, nullptr, nullptr);
            const std::lock_guard lock(m_mutex);
            m_client = client;
            continue;
        }
        std::uint8_t buffer[512];
        const ssize_t got = read(m_client, buffer, sizeof buffer);
        if (got <= 0) {
            return;
        }
        const std::lock_guard lock(m_mutex);
        m_arrivals.push_back(
            {std::chrono::steady_clock::now(), std::vector<std::uint8_t>(buffer, buffer + got)});
    }
}

std::vector<TimedSink::Arrival> TimedSink::Arrivals() const {
    const std::lock_guard lock(m_mutex);
    return m_arrivals;
}

std::size_t TimedSink::ByteCount() const {
    std::size_t count = 0;
    for (const Arrival& arrival : Arrivals()) {
        count += arrival.bytes.size();
    }
    return count;
}

void TimedSink::Send(std::vector<std::uint8_t> bytes) {
    const std::lock_guard lock(m_mutex);
    if (m_client >= 0) {
        [[maybe_unused]] const auto sent = send(m_client, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
}
