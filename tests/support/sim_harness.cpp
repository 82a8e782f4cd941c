#include "sim_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace simtest {

namespace {

struct Pipe {
    int read = -1;
    int write = -1;
};

Pipe MakePipe() {
    int fds[2] = {-1, -1};
    if (::pipe2(fds, O_CLOEXEC) != 0) return {};
    return {fds[0], fds[1]};
}

std::string NameOf(const std::string& entry) {
    return entry.substr(0, entry.find('='));
}

// This process's environment with `extraEnv` applied in order.
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& extraEnv) {
    std::vector<std::string> env;
    for (char** variable = environ; *variable != nullptr; ++variable) env.emplace_back(*variable);
    for (const std::string& entry : extraEnv) {
        const std::string name = NameOf(entry);
        std::erase_if(env, [&name](const std::string& e) { return NameOf(e) == name; });
        if (entry.find('=') != std::string::npos) env.push_back(entry);
    }
    return env;
}

// The null-terminated pointer array exec wants; valid while `strings` lives unchanged.
std::vector<char*> PointersTo(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& s : strings) pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Starts argv[0] with `in`, `out` and `err` as its descriptors 0, 1 and 2 and no other descriptor
// of this process; -1 when it cannot be started.
pid_t Spawn(std::vector<std::string> argv, const std::vector<std::string>& extraEnv, int in,
            int out, int err) {
    std::vector<std::string> env = ChildEnvironment(extraEnv);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, in, STDIN_FILENO);
    ::posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    ::posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);
    ::posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    // The child starts with no signal blocked and the stop signals at their defaults, whatever
    // this test's thread and its starter had.
    posix_spawnattr_t attributes;
    ::posix_spawnattr_init(&attributes);
    sigset_t none;
    sigset_t stops;
    ::sigemptyset(&none);
    ::sigemptyset(&stops);
    ::sigaddset(&stops, SIGINT);
    ::sigaddset(&stops, SIGTERM);
    ::posix_spawnattr_setsigmask(&attributes, &none);
    ::posix_spawnattr_setsigdefault(&attributes, &stops);
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int failed = ::posix_spawn(&pid, argv.front().c_str(), &actions, &attributes,
                                     PointersTo(argv).data(), PointersTo(env).data());
    ::posix_spawnattr_destroy(&attributes);
    ::posix_spawn_file_actions_destroy(&actions);
    return failed == 0 ? pid : -1;
}

int StatusCode(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Reads what is available within the patience; false on end of file or timeout.
bool ReadSome(int fd, std::string* into, Clock::time_point deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, RemainingMs(deadline)) <= 0) return false;
    std::array<char, 4096> buffer{};
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n <= 0) return false;
    into->append(buffer.data(), static_cast<std::size_t>(n));
    return true;
}

std::string DrainAll(int fd, Clock::time_point deadline) {
    std::string all;
    while (ReadSome(fd, &all, deadline)) {
    }
    return all;
}

// The text of `name` in a "show" line: from "name=" to the word holding the next '=', or the end.
std::optional<std::string> ShownField(const std::string& showLine, const std::string& name) {
    const std::string key = " " + name + "=";
    const auto at = showLine.find(key);
    if (at == std::string::npos) return std::nullopt;
    const auto from = at + key.size();
    auto end = showLine.size();
    if (const auto nextKey = showLine.find('=', from); nextKey != std::string::npos) {
        end = std::max(showLine.rfind(' ', nextKey), from);
    }
    while (end > from && std::isspace(static_cast<unsigned char>(showLine[end - 1]))) --end;
    return showLine.substr(from, end - from);
}

std::optional<Byte> HexByte(const std::string& text) {
    if (text.size() != 2 || !std::isxdigit(static_cast<unsigned char>(text[0])) ||
        !std::isxdigit(static_cast<unsigned char>(text[1]))) {
        return std::nullopt;
    }
    return static_cast<Byte>(std::stoul(text, nullptr, 16));
}

}  // namespace

int RemainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::max<long long>(left, 0));
}

SimProcess::SimProcess(const std::vector<std::string>& args,
                       const std::vector<std::string>& extraEnv, bool keepStdin) {
    Pipe in = keepStdin ? MakePipe() : Pipe{::open("/dev/null", O_RDONLY | O_CLOEXEC), -1};
    Pipe out = MakePipe();
    Pipe err = MakePipe();
    std::vector<std::string> argv{KESTREL_SIM_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_ = Spawn(argv, extraEnv, in.read, out.write, err.write);
    ::close(in.read);
    ::close(out.write);
    ::close(err.write);
    stdin_ = in.write;
    stdout_ = out.read;
    stderr_ = err.read;
    if (pid_ < 0) return;
    if (auto line = ReadLine(); line && line->rfind("listening ", 0) == 0) listening_ = *line;
}

SimProcess::~SimProcess() {
    if (pid_ > 0 && !exitStatus_) {
        Signal(SIGTERM);
        if (!WaitExit()) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    for (int fd : {stdin_, stdout_, stderr_}) {
        if (fd >= 0) ::close(fd);
    }
}

std::uint16_t SimProcess::Port() const {
    const auto colon = listening_.find(':');
    if (colon == std::string::npos) return 0;
    return static_cast<std::uint16_t>(std::strtoul(listening_.c_str() + colon + 1, nullptr, 10));
}

std::optional<std::uint16_t> SimProcess::ControlPort() const {
    const auto at = listening_.find(" control=");
    if (at == std::string::npos) return std::nullopt;
    return static_cast<std::uint16_t>(std::strtoul(listening_.c_str() + at + 9, nullptr, 10));
}

std::optional<std::string> SimProcess::ReadLine(milliseconds patience) {
    const auto deadline = Clock::now() + patience;
    for (;;) {
        const auto end = pending_.find('\n');
        if (end != std::string::npos) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return line;
        }
        if (!ReadSome(stdout_, &pending_, deadline)) return std::nullopt;
    }
}

std::string SimProcess::Command(const std::string& line) {
    const std::string text = line + "\n";
    if (::write(stdin_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return {};
    return ReadLine().value_or("");
}

void SimProcess::Signal(int signo) const {
    if (pid_ > 0 && !exitStatus_) ::kill(pid_, signo);
}

std::optional<int> SimProcess::WaitExit(milliseconds patience) {
    if (pid_ <= 0 || exitStatus_) return exitStatus_;
    // A process descriptor becomes readable when the process ends.
    const int pidFd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    if (pidFd >= 0) {
        pollfd p{pidFd, POLLIN, 0};
        ::poll(&p, 1, static_cast<int>(patience.count()));
        ::close(pidFd);
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) return std::nullopt;
    exitStatus_ = StatusCode(status);
    return exitStatus_;
}

std::string SimProcess::Stderr() {
    return DrainAll(stderr_, Clock::now() + milliseconds(200));
}

Client::Client(std::uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

Client::~Client() {
    if (fd_ >= 0) ::close(fd_);
}

void Client::Send(const std::vector<Byte>& bytes) const {
    ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

std::vector<Byte> Client::Receive(std::size_t count, milliseconds patience) {
    const auto deadline = Clock::now() + patience;
    std::vector<Byte> got;
    while (got.size() < count) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, RemainingMs(deadline)) <= 0) break;
        std::array<Byte, 512> buffer{};
        const ssize_t n =
            ::recv(fd_, buffer.data(), std::min(buffer.size(), count - got.size()), 0);
        if (n <= 0) break;
        got.insert(got.end(), buffer.begin(), buffer.begin() + n);
    }
    return got;
}

bool Client::ClosedByPeer(milliseconds patience) {
    const auto deadline = Clock::now() + patience;
    for (;;) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, RemainingMs(deadline)) <= 0) return false;
        std::array<Byte, 512> buffer{};
        const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
        if (n <= 0) return true;
    }
}

CommandResult RunProgram(const std::vector<std::string>& argv, milliseconds patience) {
    Pipe out = MakePipe();
    const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t pid = Spawn(argv, {}, devNull, out.write, out.write);
    ::close(devNull);
    ::close(out.write);
    const auto deadline = Clock::now() + patience;
    CommandResult result;
    result.output = DrainAll(out.read, deadline);
    ::close(out.read);
    if (pid < 0) {
        result.exitCode = 127;  // as a shell reports a program it cannot run
        return result;
    }
    int status = 0;
    if (Clock::now() >= deadline) ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::optional<ParamBlock> ShownParams(const std::string& showLine) {
    const auto field = ShownField(showLine, "params");
    if (!field) return std::nullopt;
    std::istringstream words(*field);
    ParamBlock params{};
    std::size_t count = 0;
    for (std::string word; words >> word; ++count) {
        const auto byte = HexByte(word);
        if (!byte || count == params.size()) return std::nullopt;
        params[count] = *byte;
    }
    if (count != params.size()) return std::nullopt;
    return params;
}

std::optional<int> ShownAddress(const std::string& showLine) {
    const auto field = ShownField(showLine, "address");
    if (!field || field->empty() || field->size() > 3 ||
        !std::all_of(field->begin(), field->end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
        return std::nullopt;
    }
    return std::stoi(*field);
}

TempDir::TempDir() {
    std::string pattern = "/tmp/kestrel-sim-test-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

}  // namespace simtest
