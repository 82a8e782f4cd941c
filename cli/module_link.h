#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "cli_options.h"
#include "device_params.h"
#include "event_port.h"
#include "frames.h"
#include "request_link.h"
#include "tcp_port.h"

// The link to one module as a command sees it, over either of the panel's links: it is made,
// takes request frames, hands on reply frames on the loop's thread, and may be lost.
class ModuleLink : public RequestLink {
  public:
    // What the serial search learnt of the module: its address and block.
    struct Learnt {
        Byte address = 0;
        DeviceParams params;
        std::size_t count = 0;  // bytes of the block the reply carried
    };

    struct Handlers {
        // ok, or why the link could not be made.
        std::function<void(bool ok, const std::string& failure)> opened;
        std::function<void(const std::vector<Byte>& frame)> frame;
        std::function<void(const std::string& reason)> lost;
    };

    virtual ~ModuleLink() = default;
    void SetHandlers(Handlers handlers) { m_handlers = std::move(handlers); }

    virtual void Open() = 0;
    virtual void Close() = 0;
    // How much longer than on a network a reply may take: the frames' time on the line.
    virtual std::chrono::milliseconds LineTime() const { return {}; }
    virtual std::optional<Learnt> LearntBySearch() const { return std::nullopt; }

    static std::unique_ptr<ModuleLink> For(EventPort& loop, TcpPort& tcp, const cli::Target& target,
                                           const cli::Options& options,
                                           std::function<bool()> ended);

  protected:
    ModuleLink() = default;
    void Opened(bool ok, const std::string& failure) const {
        if (m_handlers.opened) m_handlers.opened(ok, failure);
    }
    void Frame(const std::vector<Byte>& frame) const {
        if (m_handlers.frame) m_handlers.frame(frame);
    }
    void Lost(const std::string& reason) const {
        if (m_handlers.lost) m_handlers.lost(reason);
    }

  private:
    Handlers m_handlers;
};
