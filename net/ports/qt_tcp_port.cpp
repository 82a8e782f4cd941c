#include "qt_tcp_port.h"

#include <QElapsedTimer>
#include <QNetworkProxy>
#include <QTcpSocket>
#include <algorithm>
#include <array>
#include <limits>

#include "peer_close_probe.h"

namespace {

constexpr qint64 kReadChunk = 4096;
// What one turn of the event loop hands on at most, in bytes and in time; the rest waits for
// the next turn. The socket holds no more than this either.
constexpr qint64 kReadPerTurn = 16 * 1024;
constexpr qint64 kTurnBudgetMs = 4;

class QtTcpConnection final : public TcpConnection {
  public:
    explicit QtTcpConnection(Listener listener)
        : m_listener(std::move(listener)), m_socket(new QTcpSocket) {
        // Modules are reached directly on the local network, never through a proxy; this also
        // spares every attempt the system proxy lookup and its thread.
        m_socket->setProxy(QNetworkProxy::NoProxy);
        m_socket->setReadBufferSize(kReadPerTurn);
        QObject::connect(m_socket, &QTcpSocket::connected, &m_context, [this] { OnConnect(); });
        QObject::connect(m_socket, &QTcpSocket::errorOccurred, &m_context, [this] { OnError(); });
        QObject::connect(m_socket, &QTcpSocket::readyRead, &m_context, [this] { OnReceive(); });
        QObject::connect(m_socket, &QTcpSocket::disconnected, &m_context, [this] { OnClose(); });
    }
    ~QtTcpConnection() override { Close(); }
    QtTcpConnection(const QtTcpConnection&) = delete;
    QtTcpConnection& operator=(const QtTcpConnection&) = delete;

    void Connect(const std::string& host, std::uint16_t port) override {
        if (m_socket != nullptr) {
            m_socket->connectToHost(QString::fromStdString(host), port);
        }
    }

    std::int64_t Send(std::span<const Byte> bytes) override {
        if (m_socket == nullptr || m_socket->state() != QAbstractSocket::ConnectedState) {
            return -1;
        }
        const qint64 written = m_socket->write(reinterpret_cast<const char*>(bytes.data()),
                                               static_cast<qint64>(bytes.size()));
        m_socket->flush();  // on the wire now, not at the next turn of the event loop
        return written;
    }

    // The socket may be closed from inside one of its own signals: it goes once they are done.
    void Close() override {
        m_probe.Release();
        if (m_socket == nullptr) {
            return;
        }
        m_socket->disconnect(&m_context);
        m_socket->abort();
        m_socket->deleteLater();
        m_socket = nullptr;
    }

    std::string ErrorText() const override { return m_error; }

  private:
    void OnConnect() {
        m_connected = true;
        m_probe.Attach(m_socket->socketDescriptor());
        Tell(m_listener.connected, 0);
    }

    void OnError() {
        if (m_connected) {
            return;  // a connected link's errors end in OnClose
        }
        m_error = m_socket->errorString().toStdString();
        m_socket->abort();
        Tell(m_listener.connected, 1);
    }

    void OnReceive() {
        ReadAtMost(kReadPerTurn, kTurnBudgetMs);
        if (m_socket != nullptr && m_socket->bytesAvailable() > 0 && !m_readQueued) {
            // The socket tells of new bytes only as they come: what is left is read next turn.
            m_readQueued = true;
            QMetaObject::invokeMethod(
                &m_context,
                [this] {
                    m_readQueued = false;
                    OnReceive();
                },
                Qt::QueuedConnection);
        }
    }

    void ReadAtMost(qint64 budget, qint64 budgetMs) {
        std::array<Byte, kReadChunk> chunk{};
        QElapsedTimer clock;
        clock.start();
        while (m_socket != nullptr && budget > 0 && m_socket->bytesAvailable() > 0 &&
               clock.elapsed() <= budgetMs) {
            const qint64 got =
                m_socket->read(reinterpret_cast<char*>(chunk.data()), std::min(kReadChunk, budget));
            if (got <= 0) {
                return;
            }
            budget -= got;
            Tell(m_listener.received,
                 std::span<const Byte>(chunk.data(), static_cast<std::size_t>(got)));
        }
    }

    // Whatever came before the close is still handed on: at most one turn's worth is held.
    void OnClose() {
        constexpr qint64 kAll = std::numeric_limits<qint64>::max();
        ReadAtMost(kAll, kAll);
        if (m_socket == nullptr) {
            return;
        }
        const bool reset = m_probe.Take() == PeerCloseProbe::Ending::Reset;
        Tell(m_listener.closedByPeer, reset);
    }

    template <class Fn, class Arg>
    static void Tell(const Fn& fn, Arg arg) {
        if (fn) {
            fn(arg);
        }
    }

    Listener m_listener;
    QObject m_context;  // the receiver of the socket's signals and of the next turn's read
    QTcpSocket* m_socket;
    PeerCloseProbe m_probe;
    std::string m_error;
    bool m_connected = false;
    bool m_readQueued = false;
};

}  // namespace

std::unique_ptr<TcpConnection> QtTcpPort::Create(TcpConnection::Listener listener) {
    return std::make_unique<QtTcpConnection>(std::move(listener));
}
