#include "winsock_tcp_port.h"

#include <winsock2.h>
// winsock2.h before the others
#include <windows.h>
#include <ws2tcpip.h>

#include <array>
#include <cstring>
#include <vector>

#include "background_task.h"

namespace {

constexpr std::size_t kReadChunk = 4096;
// What one notice hands on at most; Winsock tells again while more is waiting.
constexpr std::size_t kReadPerNotice = 16 * 1024;
constexpr long kEvents = FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE;

struct Address {
    sockaddr_storage storage{};
    int size = 0;
    int family = AF_INET;
};

// Winsock's own words, as one line.
std::string SystemText(int error) {
    std::array<char, 256> text{};
    const DWORD size = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, static_cast<DWORD>(error), 0, text.data(),
                                        static_cast<DWORD>(text.size()), nullptr);
    std::string line(text.data(), size);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == '.')) {
        line.pop_back();
    }
    return line.empty() ? "Winsock error " + std::to_string(error) : line;
}

// The error texts the Linux window's sockets give for the same failures.
std::string ErrorText(int error) {
    switch (error) {
        case WSAECONNREFUSED:
            return "Connection refused";
        case WSAETIMEDOUT:
            return "Connection timed out";
        case WSAENETUNREACH:
        case WSAENETDOWN:
            return "Network unreachable";
        case WSAEHOSTUNREACH:
        case WSAEHOSTDOWN:
            return "Host unreachable";
        case WSAEACCES:
            return "Permission denied";
        case WSAEADDRINUSE:
            return "Address in use";
        case WSAHOST_NOT_FOUND:
        case WSANO_DATA:
            return "Host not found";
        default:
            return SystemText(error);
    }
}

// The addresses of host, in the order the system gives them; none when it cannot be found.
std::vector<Address> Resolve(const std::string& host, std::uint16_t port, bool numericOnly) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV | (numericOnly ? AI_NUMERICHOST : 0);
    addrinfo* found = nullptr;
    std::vector<Address> addresses;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
        return addresses;
    }
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        Address address;
        address.size = static_cast<int>(entry->ai_addrlen);
        address.family = entry->ai_family;
        std::memcpy(&address.storage, entry->ai_addr, entry->ai_addrlen);
        addresses.push_back(address);
    }
    ::freeaddrinfo(found);
    return addresses;
}

bool IsReset(int error) {
    return error == WSAECONNRESET || error == WSAECONNABORTED || error == WSAENETRESET;
}

bool StartWinsock() {
    static const bool started = [] {
        WSADATA data{};
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

class WinsockConnection final : public TcpConnection {
  public:
    WinsockConnection(Win32EventPort& loop, Listener listener)
        : m_loop(loop), m_listener(std::move(listener)), m_lookup(loop) {}
    ~WinsockConnection() override { Close(); }
    WinsockConnection(const WinsockConnection&) = delete;
    WinsockConnection& operator=(const WinsockConnection&) = delete;

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
        CloseSocket();
    }

    std::string ErrorText() const override { return m_lastError; }

  private:
    void TryNextAddress() {
        while (!m_closed && m_next < m_addresses.size()) {
            const Address& address = m_addresses[m_next++];
            m_socket = ::socket(address.family, SOCK_STREAM, IPPROTO_TCP);
            if (m_socket == INVALID_SOCKET) {
                m_lastError = ::ErrorText(::WSAGetLastError());
                continue;
            }
            const BOOL nodelay = TRUE;  // frames go out as they are written
            ::setsockopt(m_socket, IPPROTO_TCP, TCP_NODELAY,
                         reinterpret_cast<const char*>(&nodelay), sizeof nodelay);
            m_loop.WatchSocket(m_socket, [this](long event, int error) { OnNotice(event, error); });
            // Also makes the socket non-blocking.
            if (::WSAAsyncSelect(m_socket, m_loop.Window(), Win32EventPort::SocketMessage(),
                                 kEvents) == 0 &&
                (::connect(m_socket, reinterpret_cast<const sockaddr*>(&address.storage),
                           address.size) == 0 ||
                 ::WSAGetLastError() == WSAEWOULDBLOCK)) {
                return;  // FD_CONNECT tells the outcome
            }
            DropAttempt(::WSAGetLastError());
        }
        if (!m_closed) {
            if (m_lastError.empty()) m_lastError = "Host not found";
            Tell(m_listener.connected, WSAHOST_NOT_FOUND);
        }
    }

    void DropAttempt(int error) {
        m_lastError = ::ErrorText(error);
        CloseSocket();
    }

    void CloseSocket() {
        if (m_socket != INVALID_SOCKET) {
            m_loop.ForgetSocket(m_socket);
            ::closesocket(m_socket);
            m_socket = INVALID_SOCKET;
        }
    }

    void OnNotice(long event, int error) {
        switch (event) {
            case FD_CONNECT:
                OnConnectOutcome(error);
                break;
            case FD_READ:
                if (m_connected) Read();
                break;
            case FD_WRITE:
                Flush();
                break;
            case FD_CLOSE:
                OnClose(error);
                break;
            default:
                break;
        }
    }

    void OnConnectOutcome(int error) {
        if (m_connected || m_closed) {
            return;
        }
        if (error != 0) {
            DropAttempt(error);
            TryNextAddress();
            return;
        }
        m_connected = true;
        Tell(m_listener.connected, 0);
    }

    // What waits is handed on before the ending is told: nothing the module sent is lost.
    void OnClose(int error) {
        if (!m_connected) {
            return;
        }
        const bool reset = IsReset(error);
        if (!reset) {
            Read();
        }
        if (m_connected) {
            PeerEnded(reset);
        }
    }

    void Read() {
        std::array<char, kReadChunk> chunk{};
        for (std::size_t budget = kReadPerNotice; budget > 0 && m_connected;) {
            const int got =
                ::recv(m_socket, chunk.data(), static_cast<int>(std::min(chunk.size(), budget)), 0);
            if (got > 0) {
                budget -= static_cast<std::size_t>(got);
                Tell(m_listener.received,
                     std::span<const Byte>(reinterpret_cast<const Byte*>(chunk.data()),
                                           static_cast<std::size_t>(got)));
                continue;
            }
            const int error = got < 0 ? ::WSAGetLastError() : 0;
            if (error == WSAEWOULDBLOCK || error == WSAEINTR) return;
            PeerEnded(IsReset(error));
            return;
        }
    }

    // The socket stays open, for the user's Close; nothing more is told of it. A reset can look
    // like an orderly close (Wine tells both as one), but then the socket takes nothing more:
    // an empty send fails, where it succeeds on a connection the peer only closed.
    void PeerEnded(bool reset) {
        if (!reset && ::send(m_socket, "", 0, 0) != 0) {
            reset = IsReset(::WSAGetLastError());
        }
        m_connected = false;
        m_loop.ForgetSocket(m_socket);
        Tell(m_listener.closedByPeer, reset);
    }

    void Flush() {
        while (!m_outgoing.empty() && m_socket != INVALID_SOCKET) {
            const int sent = ::send(m_socket, reinterpret_cast<const char*>(m_outgoing.data()),
                                    static_cast<int>(m_outgoing.size()), 0);
            if (sent <= 0) {
                break;  // full (FD_WRITE tells when there is room) or failing (the read side
                        // tells how it ended)
            }
            m_outgoing.erase(m_outgoing.begin(), m_outgoing.begin() + sent);
        }
    }

    template <class Fn, class Arg>
    static void Tell(const Fn& fn, Arg arg) {
        if (fn) {
            fn(arg);
        }
    }

    Win32EventPort& m_loop;
    Listener m_listener;
    BackgroundTask m_lookup;
    std::vector<Address> m_addresses;
    std::size_t m_next = 0;
    SOCKET m_socket = INVALID_SOCKET;
    std::vector<Byte> m_outgoing;
    std::string m_lastError;
    bool m_connected = false;
    bool m_closed = false;
    LifeToken m_life;
};

}  // namespace

WinsockTcpPort::WinsockTcpPort(Win32EventPort& loop) : m_loop(loop), m_started(StartWinsock()) {}

std::unique_ptr<TcpConnection> WinsockTcpPort::Create(TcpConnection::Listener listener) {
    if (!m_started || !m_loop.Valid()) {
        return nullptr;
    }
    return std::make_unique<WinsockConnection>(m_loop, std::move(listener));
}
