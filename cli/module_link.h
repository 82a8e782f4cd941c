#pragma once

#include <QObject>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "cli_options.h"
#include "device_params.h"
#include "frames.h"

// The link to one module as a command sees it, over either of the panel's links: it is made,
// takes request frames, hands on reply frames on the thread of the event loop, and may be lost.
class ModuleLink : public QObject {
    Q_OBJECT
  public:
    // What the serial search learnt of the module: its address and block.
    struct Learnt {
        Byte address = 0;
        DeviceParams params;
        std::size_t count = 0;  // bytes of the block the reply carried
    };

    virtual void Open() = 0;
    virtual void Close() = 0;
    virtual bool Send(std::span<const Byte> frame) = 0;
    virtual Framing LinkFraming() const = 0;
    // How much longer than on a network a reply may take: the frames' time on the line.
    virtual std::chrono::milliseconds LineTime() const { return {}; }
    virtual std::optional<Learnt> LearntBySearch() const { return std::nullopt; }

    static std::unique_ptr<ModuleLink> For(const cli::Target& target, const cli::Options& options,
                                           std::function<bool()> ended);

  signals:
    // ok, or why the link could not be made.
    void Opened(bool ok, const QString& failure);
    void FrameReceived(const std::vector<Byte>& frame);
    void Lost(const QString& reason);
};
