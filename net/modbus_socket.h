#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "frames.h"
#include "peer_close_probe.h"
#include "stream_framer.h"
#include "trace.h"

class QTcpSocket;
class QTimer;

// The TCP client link to a network module. The connection request returns at once; its outcome,
// every whole reply frame and the peer's closing come back as signals on the thread that owns
// the socket (the window's). Replies are cut out of the stream by the framing fixed once per
// connection: 0 = Modbus TCP (MBAP header, stripped), 1 = Modbus RTU inside the stream.
class CModbusSocket : public QObject {
    Q_OBJECT
  public:
    explicit CModbusSocket(QObject* parent = nullptr);
    ~CModbusSocket() override;

    bool Create();
    // Starts connecting to host (a dotted address or a name) and port. A port above 65535 fails
    // the attempt instead of connecting to its low 16 bits; an attempt that has no outcome
    // within the connect time-out fails.
    void Connect(const QString& host, std::uint32_t port);
    // Closes; no signal of this socket reaches anyone afterwards, not even one already queued.
    void Close();
    // Queues the bytes for sending; -1 when the socket is not connected.
    std::int64_t Send(std::span<const Byte> bytes);

    void SetRtuFraming(std::uint8_t rtu);
    std::uint8_t RtuFraming() const { return m_bRtuFraming; }
    // Bytes held back waiting for the rest of a frame.
    std::size_t BufferedBytes() const { return m_framer->Buffered(); }
    // Why the last attempt failed, in the system's words.
    const QString& ErrorText() const { return m_strError; }
    // How the peer ended the connection, once ClosedByPeer has been signalled.
    PeerCloseProbe::Ending PeerEnding() const { return m_peerEnding; }

    static constexpr int kConnectTimeoutMs = 5000;

  signals:
    // 0 when connected, otherwise the socket error code.
    void Connected(int errorCode);
    void FrameReceived(std::span<const Byte> frame);
    void ClosedByPeer();

  private:
    void OnConnect();
    void OnError();
    // Frames a bounded share of what has come, and leaves the rest to the next turn of the
    // event loop.
    void OnReceive();
    void ReadAtMost(qint64 budget, qint64 budgetMs);
    void OnClose();
    // Frames the bytes read and hands on every frame.
    void HandOn(std::span<const Byte> bytes);
    void FailAttempt(const QString& reason);
    void OnConnectTimeout();

    QTcpSocket* m_socket = nullptr;
    QTimer* m_connectTimer = nullptr;
    PeerCloseProbe m_probe;
    PeerCloseProbe::Ending m_peerEnding = PeerCloseProbe::Ending::Closed;
    std::uint8_t m_bRtuFraming = 0;
    bool m_bOutcomeGiven = false;
    bool m_bReadQueued = false;  // a read for the next turn is on its way
    QString m_strError;
    std::unique_ptr<StreamFramer> m_framer;
    TraceLink m_traceLink{"TCP"};
    std::string m_peerName;  // "host:port", as the trace tells of the connection
};
