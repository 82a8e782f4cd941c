#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "event_port.h"
#include "frames.h"
#include "request_link.h"

// The read of a module's parameter block on a link: to unit 0xFF (a module answers from its own
// address), three registers and then five, the five 200 ms after the three in RTU framing, where
// a module on a line must not be asked twice at once; to a given unit, five registers from that
// unit alone. The pause is a timer: the caller's thread stays free meanwhile.
class ParamRead {
  public:
    struct Hooks {
        // Just before a frame of `quantity` registers goes out: a caller that watches replies
        // starts watching this one here, so a quick reply always finds it watched.
        std::function<void(std::uint16_t quantity)> beforeFrame;
        // The last frame has gone out (sent: whether it could), or the read was stopped while
        // its second frame waited (Stop(true); sent false).
        std::function<void(bool sent)> ended;
    };

    static constexpr std::chrono::milliseconds kRtuPause{200};

    explicit ParamRead(EventPort& loop);
    ~ParamRead();
    ParamRead(const ParamRead&) = delete;
    ParamRead& operator=(const ParamRead&) = delete;

    // Sends the read on `link` in the link's framing; a read still pending is stopped first
    // (silently). Whether the first frame went out.
    bool Start(RequestLink& link, std::optional<Byte> unit, Hooks hooks);
    // The second frame waits for its pause.
    bool Pending() const;
    // Gives up a pending second frame; `ended` is told when tell is true.
    void Stop(bool tell = false);

  private:
    void SendSecond();

    EventPort& m_loop;
    std::unique_ptr<Timer> m_pause;
    RequestLink* m_link = nullptr;
    Hooks m_hooks;
};
