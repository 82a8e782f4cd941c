#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "background_task.h"
#include "poll_tcp_port.h"

namespace {

constexpr std::size_t kReadChunk = 4096;
// What one pass of the loop hands on at most; the rest waits for the next pass.
constexpr std::size_t kReadPerPass = 16 * 1024;

struct Address {
    sockaddr_storage storage{};
    socklen_t size = 0;
    int family = AF_INET;
};

// The error texts the window's sockets give.
std::string ErrorText(int error) {
    switch (error) {
        case ECONNREFUSED:
            return "Connection refused";
        case ETIMEDOUT:
            return "Connection timed out";
        case ENETUNREACH:
            return "Network unreachable";
        case EHOSTUNREACH:
            return "Host unreachable";
        case EACCES:
        case EPERM:
            return "Permission denied";
        case EADDRINUSE:
            return "Address in use";
        default:
            return std::strerror(error);
    }
}

// The addresses of host, in the order the system gives them; none when it cannot be found.
std::vector<Address> Resolve(const std::string& host, std::uint16_t port, bool numericOnly) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | (numericOnly ? AI_NUMERICHOST : 0);
    addrinfo* found = nullptr;
    std::vector<Address> addresses;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
        return addresses;
    }
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        Address address;
        address.size = entry->ai_addrlen;
        address.family = entry->ai_family;
        std::memcpy(&address.storage, entry->ai_addr, entry->ai_addrlen);
        addresses.push_back(address);
    }
    ::freeaddrinfo(found);
    return addresses;
}

class PosixTcpConnection final : public TcpConnection {
  public:
    PosixTcpConnection(PollLoop& loop, Listener listener)
        : m_loop(loop), m_listener(std::move(listener)), m_lookup(loop) {}
    ~PosixTcpConnection() override { Close(); }
    PosixTcpConnection(const PosixTcpConnection&) = delete;
    PosixTcpConnection& operator=(const PosixTcpConnection&) = delete;

    void Connect(const std::string& host, std::uint16_t port) override {
        m_addresses = Resolve(host, port, true);
        if (!m_addresses.empty()) {
            m_loop.Post(m_life.Guard([this] { TryNextAddress(); }));
            return;
        }
        // A name: looked up on a thread, so the loop goes on meanwhile.
        auto found = std::make_shared<std::vector<Address>>();
        m_lookup.Start([found, host, port] { *found = Resolve(host, port, false); },
                       [this, found] {
                           m_addresses = std::move(*found);
                           m_lastError = m_addresses.empty() ? "Host not found" : "";
                           TryNextAddress();
                       });
    }

    std::int64_t Send(std::span<const Byte> bytes) override {
        if (!m_connected) {
            return -1;
        }
        m_outgoing.insert(m_outgoing.end(), bytes.begin(), bytes.end());
        Flush();
        return static_cast<std::int64_t>(bytes.size());
    }

    void Close() override {
        m_closed = true;
        m_connected = false;
        m_lookup.Leave();
        m_watch.reset();
        if (m_fd >= 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }

    std::string ErrorText() const override { return m_lastError; }

  private:
    void TryNextAddress() {
        while (!m_closed && m_next < m_addresses.size()) {
            const Address& address = m_addresses[m_next++];
            m_fd = ::socket(address.family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (m_fd < 0) {
                m_lastError = ::ErrorText(errno);
                continue;
            }
            const int nodelay = 1;  // frames go out as they are written
            ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &nodelay, sizeof nodelay);
            if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&address.storage),
                          address.size) == 0 ||
                errno == EINPROGRESS) {
                m_watch = m_loop.WatchDescriptor(m_fd, PollLoop::kWritable,
                                                 [this](unsigned ready) { OnReady(ready); });
                return;
            }
            DropAttempt(errno);
        }
        if (!m_closed) {
            if (m_lastError.empty()) m_lastError = "Host not found";
            Tell(m_listener.connected, 1);
        }
    }

    void DropAttempt(int error) {
        m_lastError = ::ErrorText(error);
        m_watch.reset();
        ::close(m_fd);
        m_fd = -1;
    }

    void OnReady(unsigned ready) {
        if (!m_connected) {
            OnConnectOutcome();
            return;
        }
        if ((ready & PollLoop::kWritable) != 0) {
            Flush();
        }
        if ((ready & PollLoop::kReadable) != 0 && !m_closed) {
            OnReadable();
        }
    }

    void OnConnectOutcome() {
        int error = 0;
        socklen_t size = sizeof error;
        ::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &size);
        if (error != 0) {
            DropAttempt(error);
            TryNextAddress();
            return;
        }
        m_connected = true;
        m_watch->SetEvents(PollLoop::kReadable);
        Tell(m_listener.connected, 0);
    }

    void OnReadable() {
        std::array<Byte, kReadChunk> chunk{};
        for (std::size_t budget = kReadPerPass; budget > 0 && !m_closed;) {
            const ssize_t got = ::recv(m_fd, chunk.data(), std::min(chunk.size(), budget), 0);
            if (got > 0) {
                budget -= static_cast<std::size_t>(got);
                Tell(m_listener.received,
                     std::span<const Byte>(chunk.data(), static_cast<std::size_t>(got)));
                continue;
            }
            if (got < 0 && errno == EINTR) continue;
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
            PeerEnded(got < 0 && errno == ECONNRESET);
            return;
        }
    }

    // An orderly close leaves the connection waiting for our own close; a reset ends it at once.
    void PeerEnded(bool reset) {
#ifdef TCP_INFO
        tcp_info info{};
        socklen_t size = sizeof info;
        if (!reset && ::getsockopt(m_fd, IPPROTO_TCP, TCP_INFO, &info, &size) == 0) {
            reset = info.tcpi_state == TCP_CLOSE;
        }
#endif
        m_connected = false;
        m_watch->SetEvents(0);
        Tell(m_listener.closedByPeer, reset);
    }

    void Flush() {
        while (!m_outgoing.empty() && m_fd >= 0) {
            const ssize_t sent = ::send(m_fd, m_outgoing.data(), m_outgoing.size(), MSG_NOSIGNAL);
            if (sent < 0 && errno == EINTR) continue;
            if (sent <= 0)
                break;  // full (the loop tells when there is room) or failing (the read
                        // side tells how it ended)
            m_outgoing.erase(m_outgoing.begin(), m_outgoing.begin() + sent);
        }
        if (m_watch && m_connected) {
            m_watch->SetEvents(PollLoop::kReadable |
                               (m_outgoing.empty() ? 0U : unsigned{PollLoop::kWritable}));
        }
    }

    template <class Fn, class Arg>
    static void Tell(const Fn& fn, Arg arg) {
        if (fn) {
            fn(arg);
        }
    }

    PollLoop& m_loop;
    Listener m_listener;
    BackgroundTask m_lookup;
    std::vector<Address> m_addresses;
    std::size_t m_next = 0;
    int m_fd = -1;
    std::unique_ptr<PollLoop::Watch> m_watch;
    std::vector<Byte> m_outgoing;
    std::string m_lastError;
    bool m_connected = false;
    bool m_closed = false;
    LifeToken m_life;
};

}  // namespace

std::unique_ptr<TcpConnection> PollTcpPort::Create(TcpConnection::Listener listener) {
    return std::make_unique<PosixTcpConnection>(m_loop, std::move(listener));
}
