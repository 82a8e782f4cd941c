#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
#include <span>
#include <string>

#include "frames.h"
#include "request_link.h"

class CModbusSocket;
class QTimer;

// The TCP link to a network module: the socket from the connection attempt until it is dropped,
// the parameter read that follows a connection, and the words for how an attempt failed or how
// the module ended the connection. It knows no window: it takes plain values, and tells what
// happens through its signals.
class TcpLink : public QObject, public RequestLink {
    Q_OBJECT
  public:
    explicit TcpLink(QObject* parent = nullptr);
    ~TcpLink() override;

    // Starts an attempt on a new socket; false when no socket could be made. The outcome comes
    // as Connected.
    bool Connect(const QString& host, std::uint32_t port);
    // Drops the socket; no signal of it reaches anyone afterwards.
    void Disconnect();
    // Fixes the framing of the connection: requests, replies and the parameter read.
    void SetFraming(Framing framing);
    // The two reads of the parameter block, the RTU ones 200 ms apart (the second is sent from
    // the event loop, unless the link is dropped first).
    void ReadParams();
    // The second RTU read waits for its pause; ParamReadEnded follows once it has gone out or the
    // link was dropped first.
    bool ParamReadPending() const;

    // The socket from the attempt until the link is dropped; null when there is none.
    CModbusSocket* Socket() const { return m_pSocket; }

    bool Ready() const override { return m_pSocket != nullptr; }
    bool Send(std::span<const Byte> frame) override;
    Framing LinkFraming() const override;
    std::string TraceName() const override { return "TCP"; }

    static QString CreateFailedText();

  signals:
    // A line for the operator's report.
    void Report(const QString& line);
    // 0 when connected (the line saying so has been reported), otherwise the socket error code
    // (the line saying why has been reported).
    void Connected(int errorCode);
    void FrameReceived(std::span<const Byte> frame);
    // The module closed or reset the connection; reason says which. The link is still up: the
    // owner drops it.
    void PeerClosed(const QString& reason);
    void ParamReadEnded();

  private:
    void OnSocketOutcome(int errorCode);
    void OnSocketClosedByPeer();

    CModbusSocket* m_pSocket = nullptr;
    QTimer* m_secondParamRead;
    QString m_host;
    std::uint32_t m_port = 0;
};
