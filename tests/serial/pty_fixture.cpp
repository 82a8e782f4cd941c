#include "pty_fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <numeric>

namespace {

bool WaitFor(int fd, short events, int timeoutMs) {
    pollfd entry{fd, events, 0};
    return ::poll(&entry, 1, timeoutMs) > 0 && (entry.revents & events) != 0;
}

}  // namespace

void PtyFixture::SetUp() {
    char dirTemplate[] = "/tmp/kestrel-com-XXXXXX";
    ASSERT_NE(::mkdtemp(dirTemplate), nullptr);
    m_comDir = dirTemplate;
    ASSERT_EQ(::setenv("KESTREL_COM_DIR", m_comDir.c_str(), 1), 0);

    m_line = std::make_unique<PtyLine>();
    ASSERT_TRUE(m_line->Ready()) << m_line->Error();
    LinkCom(kPort, m_line->SlavePath());
}

void PtyFixture::TearDown() {
    if (m_holder >= 0) ::close(m_holder);
    m_line.reset();  // the master and the COM links go with it
    if (!m_comDir.empty()) ::rmdir(m_comDir.c_str());
    ::unsetenv("KESTREL_COM_DIR");
}

void PtyFixture::LinkCom(int port, const std::string& target) {
    ASSERT_TRUE(m_line->Publish(m_comDir, port, target)) << m_line->Error();
}

void PtyFixture::WriteToMaster(const std::vector<std::uint8_t>& bytes) const {
    ASSERT_EQ(::write(Master(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

std::vector<std::uint8_t> PtyFixture::ReadFromMaster(std::size_t count,
                                                     std::chrono::milliseconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[256];
    while (bytes.size() < count && std::chrono::steady_clock::now() < deadline) {
        if (!WaitFor(Master(), POLLIN, 20)) continue;
        const ssize_t got = ::read(Master(), chunk, sizeof chunk);
        if (got > 0) bytes.insert(bytes.end(), chunk, chunk + got);
    }
    return bytes;
}

void PtyFixture::CloseMaster() {
    m_line->CloseMaster();
}

bool PtyFixture::HoldTowardMaster() {
    // Kept open to the end of the test: closing a slave descriptor lets output go again.
    m_holder = ::open(SlavePath().c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK);
    if (m_holder < 0) return false;
    const std::vector<std::uint8_t> chunk = Pattern(1024);
    while (::write(m_holder, chunk.data(), chunk.size()) > 0) {
    }
    // A full pty still finds room for small writes now and then; suspended output never does.
    return ::tcflow(m_holder, TCOOFF) == 0;
}

void PtyFixture::Watch(CSerialPort& port) {
    port.SetMessageSink([this](const char* text) { m_messages.emplace_back(text); });
}

std::vector<std::uint8_t> Pattern(std::size_t count, std::uint8_t first) {
    std::vector<std::uint8_t> bytes(count);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

std::chrono::milliseconds ElapsedSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start);
}
