#include "discovery_responder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <thread>

#include "unique_fd.h"

namespace {

constexpr const char* kAnyAddress = "0.0.0.0";
constexpr const char* kLoopbackAddress = "127.0.0.1";

std::string SystemError(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

bool IsLoopback(in_addr address) {
    return (ntohl(address.s_addr) >> 24) == 127;
}

std::string AddressText(in_addr address) {
    std::array<char, INET_ADDRSTRLEN> text{};
    inet_ntop(AF_INET, &address, text.data(), text.size());
    return text.data();
}

// One received request: its bytes, who sent it and the local address it reached us on.
struct Incoming {
    std::array<std::uint8_t, 64> bytes{};
    std::size_t size = 0;
    sockaddr_in from{};
    std::optional<in_addr> localAddress;
};

std::optional<in_addr> LocalAddressOf(msghdr& message) {
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            if (info.ipi_spec_dst.s_addr != htonl(INADDR_ANY)) {
                return info.ipi_spec_dst;
            }
        }
    }
    return std::nullopt;
}

// Reads one datagram without blocking; nullopt when none is waiting or it is oversized.
std::optional<Incoming> ReceiveOne(int sock) {
    Incoming in;
    iovec data{in.bytes.data(), in.bytes.size()};
    alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(in_pktinfo))> control{};
    msghdr message{};
    message.msg_name = &in.from;
    message.msg_namelen = sizeof in.from;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control.data();
    message.msg_controllen = control.size();
    const ssize_t got = recvmsg(sock, &message, MSG_DONTWAIT);
    if (got < 0 || (message.msg_flags & MSG_TRUNC) != 0) {
        return std::nullopt;
    }
    in.size = static_cast<std::size_t>(got);
    in.localAddress = LocalAddressOf(message);
    return in;
}

class UdpDiscoveryResponder final : public DiscoveryResponder {
  public:
    UdpDiscoveryResponder(const DiscoveredDevice& self, UniqueFd sock, UniqueFd stop)
        : self_(self), sock_(std::move(sock)), stop_(std::move(stop)) {
        thread_ = std::thread([this] { Run(); });
    }

    ~UdpDiscoveryResponder() override {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = write(stop_.Get(), &one, sizeof one);
        thread_.join();
    }

  private:
    void Run() {
        std::array<pollfd, 2> fds{{{sock_.Get(), POLLIN, 0}, {stop_.Get(), POLLIN, 0}}};
        for (;;) {
            if (poll(fds.data(), fds.size(), -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return;
            }
            if (fds[1].revents != 0) {
                return;
            }
            if (fds[0].revents != 0) {
                AnswerWaitingRequest();
            }
        }
    }

    void AnswerWaitingRequest() {
        const auto in = ReceiveOne(sock_.Get());
        if (!in || in->from.sin_port == 0) {
            return;
        }
        const auto searchId = ParseSearchRequest(std::span(in->bytes.data(), in->size));
        if (!searchId) {
            return;
        }
        DiscoveredDevice described = self_;
        if (described.ip == kAnyAddress) {
            described.ip = ReportedAddress(*in);
        }
        const auto answer = EncodeSearchAnswer(*searchId, described);
        sendto(sock_.Get(), answer.data(), answer.size(), MSG_DONTWAIT,
               reinterpret_cast<const sockaddr*>(&in->from), sizeof in->from);
    }

    // The address of the interface the request came in on. Unknown stays 0.0.0.0, which tells
    // the searcher to use the address the answer comes from.
    static std::string ReportedAddress(const Incoming& in) {
        if (in.localAddress) {
            return AddressText(*in.localAddress);
        }
        return IsLoopback(in.from.sin_addr) ? kLoopbackAddress : kAnyAddress;
    }

    const DiscoveredDevice self_;
    UniqueFd sock_;
    UniqueFd stop_;
    std::thread thread_;
};

UniqueFd OpenBoundSocket(std::uint16_t udpPort, std::string* error) {
    UniqueFd sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!sock.Valid()) {
        *error = SystemError("socket");
        return {};
    }
    // SO_REUSEADDR lets several modules on one machine share the port; every one of them
    // gets its own copy of a broadcast request.
    const int on = 1;
    if (setsockopt(sock.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        setsockopt(sock.Get(), IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0) {
        *error = SystemError("setsockopt");
        return {};
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(udpPort);
    if (bind(sock.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        *error = SystemError("bind");
        return {};
    }
    return sock;
}

}  // namespace

std::unique_ptr<DiscoveryResponder> DiscoveryResponder::Start(const DiscoveredDevice& self,
                                                              std::string* error,
                                                              std::uint16_t udpPort) {
    std::string ignored;
    std::string& reason = error != nullptr ? *error : ignored;
    UniqueFd sock = OpenBoundSocket(udpPort, &reason);
    if (!sock.Valid()) {
        return nullptr;
    }
    UniqueFd stop(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!stop.Valid()) {
        reason = SystemError("eventfd");
        return nullptr;
    }
    return std::make_unique<UdpDiscoveryResponder>(self, std::move(sock), std::move(stop));
}
