#include "module_link.h"

#include <QSocketNotifier>
#include <QTimer>

#include "modbus_socket.h"
#include "reply_watch.h"
#include "serial_link.h"
#include "serial_port.h"
#include "serial_rates.h"
#include "tcp_link.h"
#include "wake_event.h"

namespace {

class TcpModuleLink : public ModuleLink {
  public:
    TcpModuleLink(const cli::Target& target, Framing framing)
        : m_target(target), m_framing(framing) {
        connect(&m_link, &TcpLink::Connected, this, &TcpModuleLink::OnConnected);
        connect(&m_link, &TcpLink::FrameReceived, this, [this](std::span<const Byte> frame) {
            emit FrameReceived(std::vector<Byte>(frame.begin(), frame.end()));
        });
        connect(&m_link, &TcpLink::PeerClosed, this, [this](const QString& reason) {
            m_link.Disconnect();
            emit Lost(reason);
        });
    }

    void Open() override {
        if (!m_link.Connect(QString::fromStdString(m_target.host), m_target.port)) {
            emit Opened(false, QStringLiteral("no socket could be created"));
        }
    }
    void Close() override { m_link.Disconnect(); }
    bool Send(std::span<const Byte> frame) override { return m_link.Send(frame); }
    Framing LinkFraming() const override { return m_framing; }

  private:
    void OnConnected(int errorCode) {
        if (errorCode == 0) {
            m_link.SetFraming(m_framing);
            emit Opened(true, {});
            return;
        }
        const QString reason = m_link.Socket() ? m_link.Socket()->ErrorText() : QString();
        m_link.Disconnect();
        emit Opened(false, QStringLiteral("TCP connect failed: %1").arg(reason));
    }

    cli::Target m_target;
    Framing m_framing;
    TcpLink m_link;
};

// The serial link: the reader's frames come to the event loop's thread through the link's
// hand-over, drained when the wake event fires.
class SerialModuleLink : public ModuleLink {
  public:
    SerialModuleLink(const cli::Target& target, const cli::Options& options,
                     std::function<bool()> ended)
        : m_target(target),
          m_baud(options.baud),
          m_unit(options.unit.value_or(1)),
          m_ended(std::move(ended)),
          m_link(m_port, Handlers()) {
        auto* notifier = new QSocketNotifier(m_wake.Descriptor(), QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, [this] {
            m_wake.Clear();
            m_link.DrainUi();
        });
    }
    ~SerialModuleLink() override { m_link.Close(); }

    // Deferred to the event loop, so that the owner is listening before the outcome comes.
    void Open() override { QTimer::singleShot(0, this, &SerialModuleLink::OpenNow); }
    void Close() override { m_link.Close(); }
    bool Send(std::span<const Byte> frame) override { return m_link.Send(frame); }
    Framing LinkFraming() const override { return Framing::ModbusRtu; }
    std::chrono::milliseconds LineTime() const override {
        return ReplyTimeout(m_rate) - ReplyTimeout();
    }
    std::optional<Learnt> LearntBySearch() const override { return m_learnt; }

  private:
    SerialLink::Handlers Handlers() {
        return {
            [this](std::span<const Byte> frame) {
                m_link.PostToUi([this, bytes = std::vector<Byte>(frame.begin(), frame.end())] {
                    emit FrameReceived(bytes);
                });
            },
            [this] {
                m_link.Close();
                emit Lost(QString::fromStdString(m_link.LostLine()));
            },
            [this] { m_wake.Signal(); },
        };
    }

    bool OpenPort() {
        const std::string& device = m_target.device;
        if (device.starts_with("COM")) {
            return m_link.Open(std::stoi(device.substr(3)));
        }
        return m_link.OpenDevice(device);
    }

    void OpenNow() {
        if (!OpenPort()) {
            emit Opened(false, QString::fromStdString(m_link.OpenFailureLine()));
            return;
        }
        if (m_baud) {
            m_rate = *m_baud;
            m_port.Configure(m_rate, 8, 0, 0);
            m_link.StartReader();
            emit Opened(true, {});
            return;
        }
        Search();
    }

    void Search() {
        const SerialLink::SearchResult result = m_link.Search(m_unit, m_ended);
        using End = SerialLink::SearchResult::End;
        if (result.end == End::Ended) {
            m_link.Close();  // interrupted: the run is ending, and says so itself
            return;
        }
        if (result.end != End::Found) {
            const bool lost = result.end == End::LineLost;
            m_link.Close();
            emit Opened(false, lost ? QString::fromStdString(m_link.LostLine())
                                    : QStringLiteral("Found no device!"));
            return;
        }
        m_rate = kSerialRates.at(static_cast<std::size_t>(result.step)).baud;
        Learnt learnt;
        learnt.address = result.address;
        std::copy(result.params.begin(), result.params.end(), learnt.params.bytes.begin());
        learnt.count = result.params.size();
        m_learnt = learnt;
        emit Opened(true, {});
    }

    cli::Target m_target;
    std::optional<std::uint32_t> m_baud;
    std::uint32_t m_rate = kSerialRates.front().baud;
    Byte m_unit;
    std::function<bool()> m_ended;
    CSerialPort m_port;
    WakeEvent m_wake;
    SerialLink m_link;
    std::optional<Learnt> m_learnt;
};

}  // namespace

std::unique_ptr<ModuleLink> ModuleLink::For(const cli::Target& target, const cli::Options& options,
                                            std::function<bool()> ended) {
    if (target.serial) {
        return std::make_unique<SerialModuleLink>(target, options, std::move(ended));
    }
    return std::make_unique<TcpModuleLink>(target, options.framing);
}
