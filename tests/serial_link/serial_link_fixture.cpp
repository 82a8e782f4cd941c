#include "serial_link_fixture.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>

#include "codec.h"
#include "device_params.h"

namespace {

constexpr std::size_t kRequestSize = 8;
constexpr std::size_t kFloodCopies = 16;

std::uint32_t BaudOf(speed_t speed) {
    static const std::pair<speed_t, std::uint32_t> kRates[] = {
        {B1200, 1200},   {B2400, 2400},   {B4800, 4800},   {B9600, 9600},
        {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200},
    };
    for (const auto& [code, baud] : kRates) {
        if (code == speed) return baud;
    }
    return 0;
}

int NibbleOf(char c) {
    return std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::toupper(c) - 'A' + 10;
}

}  // namespace

Bytes HexBytes(const char* text) {
    Bytes bytes;
    int high = -1;
    for (const char* c = text; *c != '\0'; ++c) {
        if (!std::isxdigit(static_cast<unsigned char>(*c))) continue;
        if (high < 0) {
            high = NibbleOf(*c);
        } else {
            bytes.push_back(static_cast<Byte>(high * 16 + NibbleOf(*c)));
            high = -1;
        }
    }
    return bytes;
}

Bytes WithCrc(Bytes body) {
    AppendCrc(body);
    return body;
}

Bytes WithBadCrc(Bytes body) {
    Bytes frame = WithCrc(std::move(body));
    frame.back() ^= 0x5A;
    return frame;
}

Bytes Joined(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

Bytes ParamReply(Byte unit, const std::vector<Byte>& params) {
    Bytes body{unit, 0x03, static_cast<Byte>(params.size())};
    body.insert(body.end(), params.begin(), params.end());
    return WithCrc(body);
}

bool IsFiveRegisterRead(const Bytes& request) {
    return request.size() == kRequestSize && request[1] == 0x03 && request[5] == 5;
}

bool IsThreeRegisterRead(const Bytes& request) {
    return request.size() == kRequestSize && request[1] == 0x03 && request[5] == 3;
}

FakeModule::Responder ParamResponder(Bytes toFive, Bytes toThree) {
    return [toFive = std::move(toFive), toThree = std::move(toThree)](const auto& request) {
        if (IsFiveRegisterRead(request.bytes)) return toFive;
        if (IsThreeRegisterRead(request.bytes)) return toThree;
        return Bytes{};
    };
}

// ---- FakeModule ---------------------------------------------------------------------------------

FakeModule::FakeModule(const QString& comDir, int com) {
    if (!m_line.Ready()) {
        ADD_FAILURE() << m_line.Error();
        return;
    }
    m_line.KeepSlaveOpen();  // the line stays up while the panel has the port closed
    if (!m_line.Publish(comDir.toStdString(), com)) {
        ADD_FAILURE() << m_line.Error();
    }
    m_wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    m_thread = std::thread([this] { Serve(); });
}

FakeModule::~FakeModule() {
    Unplug();
    if (m_wake >= 0) ::close(m_wake);
}

void FakeModule::Unplug() {
    {
        const std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    Wake();
    if (m_thread.joinable()) m_thread.join();
    m_line.CloseMaster();
}

void FakeModule::Wake() const {
    const std::uint64_t one = 1;
    if (m_wake >= 0) [[maybe_unused]]
        auto ignored = ::write(m_wake, &one, sizeof one);
}

void FakeModule::SetResponder(Responder responder) {
    const std::lock_guard lock(m_mutex);
    m_responder = std::move(responder);
}

void FakeModule::Send(const Bytes& bytes) {
    {
        const std::lock_guard lock(m_mutex);
        m_outgoing.insert(m_outgoing.end(), bytes.begin(), bytes.end());
    }
    Wake();
}

void FakeModule::StartFlood(const Bytes& frames) {
    {
        const std::lock_guard lock(m_mutex);
        m_flood.clear();
        for (std::size_t n = 0; n < kFloodCopies; ++n) {
            m_flood.insert(m_flood.end(), frames.begin(), frames.end());
        }
    }
    Wake();
}

void FakeModule::StopFlood() {
    const std::lock_guard lock(m_mutex);
    m_flood.clear();
}

std::vector<FakeModule::Request> FakeModule::Requests() const {
    const std::lock_guard lock(m_mutex);
    return m_requests;
}

std::size_t FakeModule::BytesWritten() const {
    const std::lock_guard lock(m_mutex);
    return m_written;
}

std::uint64_t FakeModule::FloodRounds() const {
    const std::lock_guard lock(m_mutex);
    return m_floodRounds;
}

std::uint32_t FakeModule::LineBaud() const {
    termios line{};
    if (m_line.Master() < 0 || ::tcgetattr(m_line.Master(), &line) != 0) return 0;
    return BaudOf(::cfgetospeed(&line));
}

// Waits in the kernel for requests, for room to write, or for the test to ask for something.
void FakeModule::Serve() {
    Byte chunk[512];
    for (;;) {
        bool wantsOut = false;
        {
            const std::lock_guard lock(m_mutex);
            if (m_stop) return;
            wantsOut = !m_outgoing.empty() || !m_flood.empty();
        }
        pollfd fds[2] = {
            {m_line.Master(), static_cast<short>(POLLIN | (wantsOut ? POLLOUT : 0)), 0},
            {m_wake, POLLIN, 0}};
        if (::poll(fds, 2, 1000) < 0) continue;
        if ((fds[1].revents & POLLIN) != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] auto ignored = ::read(m_wake, &count, sizeof count);
        }
        if ((fds[0].revents & POLLIN) != 0) {
            const ssize_t got = ::read(m_line.Master(), chunk, sizeof chunk);
            if (got > 0) TakeRequests(chunk, static_cast<std::size_t>(got));
        }
        WritePending();
    }
}

void FakeModule::TakeRequests(const Byte* data, std::size_t count) {
    const std::uint32_t baud = LineBaud();
    const std::lock_guard lock(m_mutex);
    m_incoming.insert(m_incoming.end(), data, data + count);
    while (m_incoming.size() >= kRequestSize) {
        Request request{Bytes(m_incoming.begin(), m_incoming.begin() + kRequestSize), baud};
        m_incoming.erase(m_incoming.begin(), m_incoming.begin() + kRequestSize);
        if (m_responder) {
            const Bytes reply = m_responder(request);
            m_outgoing.insert(m_outgoing.end(), reply.begin(), reply.end());
        }
        m_requests.push_back(std::move(request));
    }
}

void FakeModule::WritePending() {
    const std::lock_guard lock(m_mutex);
    if (m_outgoing.empty() && !m_flood.empty()) {
        m_outgoing = m_flood;
        ++m_floodRounds;
    }
    if (m_outgoing.empty()) return;
    const ssize_t sent = ::write(m_line.Master(), m_outgoing.data(), m_outgoing.size());
    if (sent <= 0) return;
    m_outgoing.erase(m_outgoing.begin(), m_outgoing.begin() + sent);
    m_written += static_cast<std::size_t>(sent);
}

// ---- SerialLinkTest -----------------------------------------------------------------------------

void SerialLinkTest::SetUp() {
    ASSERT_TRUE(comDir.isValid());
    ASSERT_EQ(::setenv("KESTREL_COM_DIR", comDir.path().toLocal8Bit().constData(), 1), 0);
    g_DeviceParams.bytes.fill(kMarker);
    PanelTest::SetUp();
}

void SerialLinkTest::TearDown() {
    PanelTest::TearDown();  // the window lets go of the port before the modules go away
    sim.reset();
    fake.reset();
    ::unsetenv("KESTREL_COM_DIR");
}

FakeModule& SerialLinkTest::PlugFake(int com) {
    fake = std::make_unique<FakeModule>(comDir.path(), com);
    return *fake;
}

simtest::SimProcess& SerialLinkTest::StartSim(const QStringList& options, int com) {
    std::vector<std::string> args = {"--serial", "COM" + std::to_string(com)};
    for (const QString& option : options) args.push_back(option.toStdString());
    sim = std::make_unique<simtest::SimProcess>(
        args, std::vector<std::string>{"KESTREL_COM_DIR=" + comDir.path().toStdString()});
    if (sim->ListeningLine().rfind("listening serial", 0) != 0) {
        ADD_FAILURE() << "the simulator did not start: " << sim->ListeningLine() << sim->Stderr();
    }
    return *sim;
}

simtest::ParamBlock SerialLinkTest::SimParams() {
    const std::string state = sim->Command("show");
    const auto params = simtest::ShownParams(state);
    EXPECT_TRUE(params) << state;
    return params.value_or(simtest::ParamBlock{});
}

QString SerialLinkTest::SimAddress() {
    const auto address = simtest::ShownAddress(sim->Command("show"));
    return address ? QString::number(*address) : QString();
}

QString SerialLinkTest::ComPath(int com) const {
    return QStringLiteral("%1/COM%2").arg(comDir.path()).arg(com);
}

void SerialLinkTest::OpenCom(int com) {
    dlg->Item<QComboBox>(IDC_COM)->setCurrentIndex(com - 1);
    Button(IDC_SERIAL_OPEN)->click();
}

std::chrono::milliseconds SerialLinkTest::Search() {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(RunOperation(IDC_SERIAL_SEARCH));
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start);
}

void SerialLinkTest::ConnectFake(const std::array<Byte, 10>& params) {
    if (!fake) PlugFake();
    fake->SetResponder(ParamResponder(ParamReply(0xFF, {params.begin(), params.end()}), {}));
    OpenCom();
    ASSERT_TRUE(ComOpen(*dlg));
    Search();
    ASSERT_TRUE(Found()) << ReportText(*dlg).toStdString();
}
