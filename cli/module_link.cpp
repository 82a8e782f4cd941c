#include "module_link.h"

#include "reply_watch.h"
#include "serial_link.h"
#include "serial_port.h"
#include "serial_rates.h"
#include "tcp_link.h"

namespace {

class TcpModuleLink : public ModuleLink {
  public:
    TcpModuleLink(EventPort& loop, TcpPort& tcp, const cli::Target& target, Framing framing)
        : m_target(target),
          m_framing(framing),
          m_link(loop, tcp,
                 {nullptr, [this](int errorCode) { OnConnected(errorCode); },
                  [this](std::span<const Byte> frame) {
                      Frame(std::vector<Byte>(frame.begin(), frame.end()));
                  },
                  [this](const std::string& reason) {
                      m_link.Disconnect();
                      Lost(reason);
                  },
                  nullptr}) {}

    void Open() override {
        if (!m_link.Connect(m_target.host, m_target.port)) {
            Opened(false, "no socket could be created");
        }
    }
    void Close() override { m_link.Disconnect(); }
    bool Ready() const override { return m_link.Ready(); }
    bool Send(std::span<const Byte> frame) override { return m_link.Send(frame); }
    Framing LinkFraming() const override { return m_framing; }
    std::string TraceName() const override { return m_link.TraceName(); }

  private:
    void OnConnected(int errorCode) {
        if (errorCode == 0) {
            m_link.SetFraming(m_framing);
            Opened(true, {});
            return;
        }
        const std::string reason = m_link.Socket() ? m_link.Socket()->ErrorText() : std::string();
        m_link.Disconnect();
        Opened(false, "TCP connect failed: " + reason);
    }

    cli::Target m_target;
    Framing m_framing;
    TcpLink m_link;
};

// The serial link: the reader's frames come to the loop's thread through the link's hand-over,
// drained in a call the reader posts on the loop.
class SerialModuleLink : public ModuleLink {
  public:
    SerialModuleLink(EventPort& loop, const cli::Target& target, const cli::Options& options,
                     std::function<bool()> ended)
        : m_loop(loop),
          m_target(target),
          m_baud(options.baud),
          m_unit(options.unit.value_or(1)),
          m_ended(std::move(ended)),
          m_link(m_port, Handlers()) {}
    ~SerialModuleLink() override { m_link.Close(); }

    // Deferred to the loop, so that the owner is listening before the outcome comes.
    void Open() override {
        m_loop.Post(m_life.Guard([this] { OpenNow(); }));
    }
    void Close() override { m_link.Close(); }
    bool Ready() const override { return m_link.IsOpen(); }
    bool Send(std::span<const Byte> frame) override { return m_link.Send(frame); }
    Framing LinkFraming() const override { return Framing::ModbusRtu; }
    std::string TraceName() const override { return m_link.TraceName(); }
    std::chrono::milliseconds LineTime() const override {
        return ReplyTimeout(m_rate) - ReplyTimeout();
    }
    std::optional<Learnt> LearntBySearch() const override { return m_learnt; }

  private:
    SerialLink::Handlers Handlers() {
        return {
            [this](std::span<const Byte> frame) {
                m_link.PostToUi([this, bytes = std::vector<Byte>(frame.begin(), frame.end())] {
                    Frame(bytes);
                });
            },
            [this] {
                m_link.Close();
                Lost(m_link.LostLine());
            },
            [this, drain = m_life.Guard([this] { m_link.DrainUi(); })] { m_loop.Post(drain); },
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
            Opened(false, m_link.OpenFailureLine());
            return;
        }
        if (m_baud) {
            m_rate = *m_baud;
            m_port.Configure(m_rate, 8, 0, 0);
            m_link.StartReader();
            Opened(true, {});
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
            Opened(false, lost ? m_link.LostLine() : "Found no device!");
            return;
        }
        m_rate = kSerialRates.at(static_cast<std::size_t>(result.step)).baud;
        Learnt learnt;
        learnt.address = result.address;
        std::copy(result.params.begin(), result.params.end(), learnt.params.bytes.begin());
        learnt.count = result.params.size();
        m_learnt = learnt;
        Opened(true, {});
    }

    EventPort& m_loop;
    cli::Target m_target;
    std::optional<std::uint32_t> m_baud;
    std::uint32_t m_rate = kSerialRates.front().baud;
    Byte m_unit;
    std::function<bool()> m_ended;
    CSerialPort m_port;
    LifeToken m_life;  // before the link: its reader's posted drains are guarded by it
    SerialLink m_link;
    std::optional<Learnt> m_learnt;
};

}  // namespace

std::unique_ptr<ModuleLink> ModuleLink::For(EventPort& loop, TcpPort& tcp,
                                            const cli::Target& target, const cli::Options& options,
                                            std::function<bool()> ended) {
    if (target.serial) {
        return std::make_unique<SerialModuleLink>(loop, target, options, std::move(ended));
    }
    return std::make_unique<TcpModuleLink>(loop, tcp, target, options.framing);
}
