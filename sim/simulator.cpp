#include "simulator.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>

namespace sim {

namespace {

constexpr std::size_t kMaxClients = 32;
constexpr std::size_t kReadChunk = Simulator::kLargestRead;
constexpr std::size_t kControlOutputLimit = 64 * 1024;
// A period of a few ms would flood every client; uploads never come faster than this.
constexpr std::chrono::milliseconds kMinUploadPeriod{10};

std::string SystemError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// A non-blocking listening socket on addr:port; port 0 picks a free one.
int Listen(const std::string& address, std::uint16_t port, std::uint16_t* bound,
           std::string* error) {
    sockaddr_in6 sa{};  // large enough for either family; an IPv4 address uses its front
    auto* v4 = reinterpret_cast<sockaddr_in*>(&sa);
    const bool ipv6 = ::inet_pton(AF_INET6, address.c_str(), &sa.sin6_addr) == 1;
    if (ipv6) {
        sa.sin6_family = AF_INET6;
        sa.sin6_port = htons(port);
    } else if (::inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
    } else {
        *error = "'" + address + "' is not an IPv4 or IPv6 address";
        return -1;
    }
    const int fd =
        ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    socklen_t len = ipv6 ? sizeof sa : sizeof *v4;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&sa), len) != 0 || ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        *error = SystemError("listening on " + address + ":" + std::to_string(port));
        if (fd >= 0) ::close(fd);
        return -1;
    }
    *bound = ntohs(ipv6 ? sa.sin6_port : v4->sin_port);
    return fd;
}

// A full house makes room for a newcomer: the client heard from longest ago goes (it is closed
// by the next sweep, after this round of events). False when none may go.
template <typename Client>
bool MakeRoom(std::vector<std::unique_ptr<Client>>& clients) {
    Client* idlest = nullptr;
    for (auto& client : clients) {
        if (client->MayMakeRoom() && (idlest == nullptr || client->lastHeard < idlest->lastHeard)) {
            idlest = client.get();
        }
    }
    if (idlest != nullptr) idlest->dead = true;
    return idlest != nullptr;
}

int AcceptFrom(int listenFd) {
    const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
        const int yes = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    }
    return fd;
}

}  // namespace

Simulator::Simulator(const SimOptions& options, ModuleModel& module)
    : options_(options),
      module_(module),
      faults_(options.faults),
      idleTimeout_(std::chrono::seconds(options.idleTimeoutS)) {
    replyPacing_.delay = std::chrono::milliseconds(options.faults.delayMs);
    replyPacing_.pieceBytes = static_cast<std::size_t>(options.splitBytes);
    replyPacing_.piecePause = std::chrono::milliseconds(options.splitPauseMs);
    uploadPacing_ = replyPacing_;
    uploadPacing_.delay = std::chrono::milliseconds(0);
}

Simulator::~Simulator() {
    for (auto& link : links_) {
        if (!link->terminal) ::close(link->fd);
    }
    for (auto& client : controls_) ::close(client->fd);
    if (listenFd_ >= 0) ::close(listenFd_);
    if (controlFd_ >= 0) ::close(controlFd_);
}

bool Simulator::Open(std::string* error) {
    if (options_.serial) {
        pty_ = PtyLine::Open(options_.comName, error);
        if (!pty_) return false;
        auto link = std::make_unique<Link>(pty_->MasterFd(), true, Framing::ModbusRtu);
        links_.push_back(std::move(link));
    } else if (!OpenTcp(error)) {
        return false;
    }
    return OpenControl(error);
}

bool Simulator::OpenTcp(std::string* error) {
    listenFd_ =
        Listen(options_.host, static_cast<std::uint16_t>(options_.port), &boundPort_, error);
    return listenFd_ >= 0;
}

bool Simulator::OpenControl(std::string* error) {
    if (!options_.controlPort) return true;
    std::uint16_t bound = 0;
    controlFd_ =
        Listen("127.0.0.1", static_cast<std::uint16_t>(*options_.controlPort), &bound, error);
    if (controlFd_ < 0) return false;
    controlPort_ = bound;
    return true;
}

std::string Simulator::ListeningLine() const {
    std::string line;
    if (options_.serial) {
        line = "listening serial " + options_.comName + " -> " + pty_->SlavePath() +
               " baud=" + std::to_string(options_.baud);
    } else {
        line = "listening tcp " + options_.host + ":" + std::to_string(boundPort_) +
               (options_.framing == Framing::ModbusTcp ? " framing=tcp" : " framing=rtu");
    }
    if (controlPort_) line += " control=" + std::to_string(*controlPort_);
    return line;
}

void Simulator::Run(int stopFd) {
    while (!quit_) {
        RunAnalogUploads(Clock::now());
        Poll(stopFd);
        DropIdleClients(Clock::now());
        Sweep();
    }
}

void Simulator::Watch(int fd, short events, Handler handler) {
    pollSet_.push_back({fd, events, 0});
    handlers_.push_back(std::move(handler));
}

void Simulator::Poll(int stopFd) {
    const Clock::time_point now = Clock::now();
    pollSet_.clear();
    handlers_.clear();
    Watch(stopFd, POLLIN, [this](short) { quit_ = true; });
    if (stdinOpen_) Watch(STDIN_FILENO, POLLIN, [this](short) { ReadStdin(); });
    if (listenFd_ >= 0) Watch(listenFd_, POLLIN, [this](short) { AcceptClient(); });
    if (controlFd_ >= 0) Watch(controlFd_, POLLIN, [this](short) { AcceptControlClient(); });
    for (auto& link : links_) {
        short events = options_.faults.stopReading || link->closing ? 0 : POLLIN;
        if (link->outbox.HasDue(now)) events = static_cast<short>(events | POLLOUT);
        Link* l = link.get();
        Watch(l->fd, events, [this, l](short revents) { ServiceLink(*l, revents); });
    }
    for (auto& client : controls_) {
        const short events = client->output.empty() ? POLLIN : POLLIN | POLLOUT;
        ControlClient* c = client.get();
        Watch(c->fd, events, [this, c](short revents) { ServiceControl(*c, revents); });
    }
    if (::poll(pollSet_.data(), pollSet_.size(), PollTimeoutMs(now)) <= 0) return;
    for (std::size_t i = 0; i < pollSet_.size() && !quit_; ++i) {
        if (pollSet_[i].revents != 0) handlers_[i](pollSet_[i].revents);
    }
}

int Simulator::PollTimeoutMs(Clock::time_point now) const {
    std::optional<Clock::time_point> next;
    auto consider = [&](std::optional<Clock::time_point> t) {
        if (t && (!next || *t < *next)) next = t;
    };
    for (const auto& due : aiDue_) consider(due);
    for (const auto& link : links_) {
        if (!link->outbox.HasDue(now)) consider(link->outbox.NextDue());
        if (!link->terminal) consider(link->lastHeard + idleTimeout_);
    }
    if (!next) return -1;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - now).count();
    return static_cast<int>(std::clamp<long long>(wait, 0, 60000));
}

void Simulator::AcceptClient() {
    const int fd = AcceptFrom(listenFd_);
    if (fd < 0) return;
    if (links_.size() >= kMaxClients && !MakeRoom(links_)) {
        ::close(fd);
        return;
    }
    links_.push_back(std::make_unique<Link>(fd, false, options_.framing));
}

void Simulator::DropIdleClients(Clock::time_point now) {
    for (auto& link : links_) {
        if (!link->terminal && now - link->lastHeard >= idleTimeout_) link->dead = true;
    }
}

void Simulator::AcceptControlClient() {
    const int fd = AcceptFrom(controlFd_);
    if (fd < 0) return;
    if (controls_.size() >= kMaxClients && !MakeRoom(controls_)) {
        ::close(fd);
        return;
    }
    controls_.push_back(std::make_unique<ControlClient>(fd));
}

void Simulator::ServiceLink(Link& link, short revents) {
    if (link.dead) return;  // given up earlier in this round
    if ((revents & POLLIN) != 0) ReadRequests(link);
    if ((revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 && !link.terminal) link.dead = true;
    if (!link.dead && !link.outbox.Flush(link.fd, Clock::now())) {
        if (link.terminal) {
            link.outbox = Outbox();  // a line that cannot be written loses what was on it
        } else {
            link.dead = true;
        }
    }
    if (link.closing && link.outbox.Empty()) link.dead = true;
}

void Simulator::ReadRequests(Link& link) {
    std::array<Byte, kReadChunk> buffer{};
    const ssize_t n = ::read(link.fd, buffer.data(), buffer.size());
    if (n <= 0) {
        const bool retry = n < 0 && (errno == EAGAIN || errno == EINTR);
        // The terminal reports EIO while nobody has its other end open; it is never closed.
        if (!retry && !link.terminal) link.dead = true;
        return;
    }
    // On a serial line bytes sent at another rate arrive as noise: the module ignores them.
    if (link.terminal && !pty_->RateIs(options_.baud)) return;
    link.framer.Append({buffer.data(), static_cast<std::size_t>(n)});
    while (!link.closing) {
        const auto piece = link.framer.Next();
        if (!piece) break;
        if (!piece->IsFrame()) continue;  // noise: the module ignores it
        link.lastHeard = Clock::now();
        Answer(link, *piece);
    }
}

void Simulator::Answer(Link& link, const StreamFramer::Piece& request) {
    auto reply = module_.HandleRequest(MessageOf(request.bytes, link.framer.framing()));
    if (!reply) return;
    const std::vector<Byte> frame =
        faults_.Apply(*reply, link.framer.framing(), request.transactionId);
    if (frame.empty()) return;
    Deliver(link, frame, replyPacing_);
    ++link.replies;
    if (options_.faults.closeAfter > 0 && link.replies >= options_.faults.closeAfter &&
        !link.terminal) {
        link.closing = true;
    }
}

void Simulator::Deliver(Link& link, const std::vector<Byte>& frame, const Pacing& pacing) {
    // A TCP client that stopped reading is dropped; on the serial line the frame is lost.
    if (!link.outbox.Queue(frame, pacing, Clock::now()) && !link.terminal) link.dead = true;
}

void Simulator::Broadcast(const Message& upload) {
    for (auto& link : links_) {
        if (link->dead || link->closing) continue;
        if (link->terminal && !pty_->RateIs(options_.baud)) continue;
        Deliver(*link, EncodeMessage(upload, link->framer.framing(), 0), uploadPacing_);
        if (!link->outbox.Flush(link->fd, Clock::now()) && !link->terminal) link->dead = true;
    }
}

void Simulator::RunAnalogUploads(Clock::time_point now) {
    for (int k = 0; k < kAnalogInputCount; ++k) {
        const std::uint16_t period = module_.AnalogUploadPeriodMs(k);
        const auto interval = std::max<std::chrono::milliseconds>(std::chrono::milliseconds(period),
                                                                  kMinUploadPeriod);
        auto& due = aiDue_[static_cast<std::size_t>(k)];
        if (period != aiPeriod_[static_cast<std::size_t>(k)]) {
            aiPeriod_[static_cast<std::size_t>(k)] = period;
            due = period == 0 ? std::nullopt : std::optional<Clock::time_point>(now + interval);
        }
        if (due && *due <= now) {
            Broadcast(module_.AnalogUpload());
            due = std::max(*due + interval, now);
        }
    }
}

void Simulator::ReadStdin() {
    std::array<char, kReadChunk> buffer{};
    const ssize_t n = ::read(STDIN_FILENO, buffer.data(), buffer.size());
    if (n <= 0) {
        if (n == 0 || (errno != EAGAIN && errno != EINTR)) stdinOpen_ = false;
        return;
    }
    stdinLines_.Append({buffer.data(), static_cast<std::size_t>(n)});
    for (std::string line; !quit_ && stdinLines_.NextLine(&line);) {
        std::cout << Execute(line) << std::endl;
    }
}

void Simulator::ServiceControl(ControlClient& client, short revents) {
    if (client.dead) return;  // made room for a newcomer in this round
    if ((revents & POLLIN) != 0) {
        std::array<char, kReadChunk> buffer{};
        const ssize_t n = ::read(client.fd, buffer.data(), buffer.size());
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) client.dead = true;
        if (n > 0) client.input.Append({buffer.data(), static_cast<std::size_t>(n)});
        for (std::string line; !quit_ && client.input.NextLine(&line);) {
            client.output += Execute(line) + "\n";
            client.lastHeard = Clock::now();
        }
    }
    if ((revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) client.dead = true;
    if (client.output.size() > kControlOutputLimit) client.dead = true;
    if (client.dead || client.output.empty()) return;
    const ssize_t sent =
        ::send(client.fd, client.output.data(), client.output.size(), MSG_NOSIGNAL);
    if (sent > 0) client.output.erase(0, static_cast<std::size_t>(sent));
}

std::string Simulator::Execute(const std::string& line) {
    CommandOutcome outcome = RunCommand(module_, line);
    for (const Message& upload : outcome.uploads) Broadcast(upload);
    if (outcome.quit) quit_ = true;
    return outcome.reply;
}

void Simulator::Sweep() {
    const auto deadLink = [](const std::unique_ptr<Link>& link) {
        if (link->dead) ::close(link->fd);
        return link->dead;
    };
    links_.erase(std::remove_if(links_.begin(), links_.end(), deadLink), links_.end());
    const auto deadControl = [](const std::unique_ptr<ControlClient>& client) {
        if (client->dead) ::close(client->fd);
        return client->dead;
    };
    controls_.erase(std::remove_if(controls_.begin(), controls_.end(), deadControl),
                    controls_.end());
}

}  // namespace sim
