#include "peer_clients.h"

#include <modbus.h>

#include <QEventLoop>
#include <QHostAddress>
#include <QProcess>
#include <QStringList>
#include <QTcpSocket>
#include <QTimer>
#include <cerrno>
#include <chrono>

#include "process_stats.h"

namespace {

constexpr int kCoil = 0x10;
constexpr int kUnit = 1;
constexpr int kScriptBoundMs = 120000;
constexpr int kConnectBoundMs = 3000;
constexpr int kStallBoundMs = 3000;
constexpr qsizetype kEchoSize = 12;

struct ModbusContext {
    modbus_t* ctx;
    ~ModbusContext() {
        if (ctx != nullptr) {
            modbus_close(ctx);
            modbus_free(ctx);
        }
    }
};

// One timed write; a negative result when the client reports a failure.
double TimedWrite(modbus_t* ctx, bool on) {
    const auto start = std::chrono::steady_clock::now();
    const int written = modbus_write_bit(ctx, kCoil, on ? TRUE : FALSE);
    const auto end = std::chrono::steady_clock::now();
    return written == 1 ? std::chrono::duration<double, std::micro>(end - start).count() : -1.0;
}

// Write coil 0x0010 of unit 1 in Modbus TCP framing.
QByteArray WriteCoilFrame(bool on) {
    const char value = on ? '\xFF' : '\x00';
    return QByteArray("\x00\x01\x00\x00\x00\x06\x01\x05\x00\x10", 10) + value + '\x00';
}

}  // namespace

RoundTrips LibmodbusRoundTrips(quint16 port, std::size_t warmUp, std::size_t count,
                               std::string& error) {
    const ModbusContext context{modbus_new_tcp("127.0.0.1", port)};
    if (context.ctx == nullptr || modbus_set_slave(context.ctx, kUnit) != 0 ||
        modbus_connect(context.ctx) != 0) {
        error = std::string("libmodbus: ") + modbus_strerror(errno);
        return {};
    }
    RoundTrips trips;
    trips.micros.reserve(count);
    double cpuBefore = 0.0;
    for (std::size_t n = 0; n < warmUp + count; ++n) {
        if (n == warmUp) {
            cpuBefore = ProcessCpuMs();
        }
        const double took = TimedWrite(context.ctx, n % 2 == 0);
        if (took < 0) {
            error = std::string("libmodbus: ") + modbus_strerror(errno);
            return {};
        }
        if (n >= warmUp) {
            trips.micros.push_back(took);
        }
    }
    trips.cpuMs = ProcessCpuMs() - cpuBefore;
    return trips;
}

RoundTrips PymodbusRoundTrips(quint16 port, std::size_t warmUp, std::size_t count,
                              std::string& error) {
    QProcess python;
    python.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    python.start(QStringLiteral("/usr/bin/python3"),
                 {QStringLiteral(PYMODBUS_RTT_SCRIPT), QStringLiteral("127.0.0.1"),
                  QString::number(port), QString::number(warmUp), QString::number(count)});
    if (!python.waitForFinished(kScriptBoundMs) || python.exitCode() != 0) {
        python.kill();
        python.waitForFinished();
        error = "pymodbus client failed";
        return {};
    }
    RoundTrips trips;
    std::vector<double>& micros = trips.micros;
    micros.reserve(count);
    for (const QByteArray& line : python.readAllStandardOutput().split('\n')) {
        if (!line.trimmed().isEmpty()) {
            micros.push_back(line.trimmed().toDouble());
        }
    }
    if (micros.size() != count) {
        error = "pymodbus client gave " + std::to_string(micros.size()) + " samples";
        return {};
    }
    return trips;
}

RoundTrips QtSocketRoundTrips(quint16 port, std::size_t warmUp, std::size_t count,
                              std::string& error) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(kConnectBoundMs)) {
        error = "QTcpSocket: " + socket.errorString().toStdString();
        return {};
    }
    RoundTrips trips;
    std::vector<double>& micros = trips.micros;
    micros.reserve(count);
    double cpuBefore = 0.0;
    std::size_t done = 0;
    auto sentAt = std::chrono::steady_clock::now();
    QByteArray reply;
    QEventLoop loop;
    const auto send = [&] {
        sentAt = std::chrono::steady_clock::now();
        socket.write(WriteCoilFrame(done % 2 == 0));
        socket.flush();
    };
    QObject::connect(&socket, &QTcpSocket::readyRead, &loop, [&] {
        reply += socket.readAll();
        if (reply.size() < kEchoSize) {
            return;
        }
        const auto took = std::chrono::steady_clock::now() - sentAt;
        reply.remove(0, kEchoSize);
        if (done == warmUp) {
            cpuBefore = ProcessCpuMs();  // from the first measured send's reply on
        }
        if (done++ >= warmUp) {
            micros.push_back(std::chrono::duration<double, std::micro>(took).count());
        }
        if (done == warmUp + count) {
            loop.quit();
        } else {
            QMetaObject::invokeMethod(&loop, send, Qt::QueuedConnection);
        }
    });
    QTimer stall;
    std::size_t doneAtLastLook = 0;
    QObject::connect(&stall, &QTimer::timeout, &loop, [&] {
        if (done == doneAtLastLook) {
            loop.quit();
        }
        doneAtLastLook = done;
    });
    stall.start(kStallBoundMs);
    QTimer::singleShot(0, &loop, send);
    loop.exec();
    if (micros.size() != count) {
        error = "QTcpSocket: an echo did not come";
        return {};
    }
    trips.cpuMs = ProcessCpuMs() - cpuBefore;
    return trips;
}
