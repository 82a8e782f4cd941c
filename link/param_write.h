#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "event_port.h"
#include "frames.h"
#include "request_link.h"

// The paced write of the parameter block: its register writes 100 ms apart on one link, then,
// after the last, a pause for the module to settle (0 for none), then 200 ms, then the read-back
// of what the module now holds. Every step is a timer: the caller's thread stays free. A write
// stopped between two frames (the link went away) goes straight to the 200 ms and the read-back.
class ParamWrite {
  public:
    struct Steps {
        // Before frame `index` of `count` goes out; false ends the frames there and goes on to
        // the read-back's pause, with neither afterLast nor settled (the caller says why).
        std::function<bool(std::size_t index, std::size_t count)> beforeFrame;
        // Frame `index` went out (sent true) or could not.
        std::function<void(std::size_t index, bool sent)> afterFrame;
        // Right after the last frame (at once when there was none): the window's completion box
        // runs here, on the loop's thread.
        std::function<void()> afterLast;
        // How long after afterLast `settled` is told; 0 tells it at once.
        std::chrono::milliseconds settle{0};
        // The module has had its pause (the window restarts the COM port here); the read-back's
        // pause starts.
        std::function<void()> settled;
        // kReadBackPause after `settled`: read the block back now.
        std::function<void()> readBack;
    };

    static constexpr std::chrono::milliseconds kFramePause{100};
    static constexpr std::chrono::milliseconds kReadBackPause{200};

    explicit ParamWrite(EventPort& loop);
    ~ParamWrite();
    ParamWrite(const ParamWrite&) = delete;
    ParamWrite& operator=(const ParamWrite&) = delete;

    // Sends `frames` on `link` as above; a write under way is stopped first. The first frame
    // goes out before this returns.
    void Start(RequestLink& link, std::vector<std::vector<Byte>> frames, Steps steps);
    // From Start until readBack has been told.
    bool Running() const { return m_running; }
    // Ends a write under way where it is: nothing more is sent or told.
    void Stop();
    // How many frames went out (were sent) so far.
    std::size_t Sent() const { return m_sent; }

  private:
    void SendNext();
    void FinishFrames();
    void PauseThenReadBack();
    // Whether the write that `run` numbered is still the one under way.
    bool Still(std::uint64_t run) const { return m_running && m_run == run; }

    EventPort& m_loop;
    std::unique_ptr<Timer> m_pause;
    RequestLink* m_link = nullptr;
    std::vector<std::vector<Byte>> m_frames;
    Steps m_steps;
    std::size_t m_next = 0;
    std::size_t m_sent = 0;
    bool m_running = false;
    std::uint64_t m_run = 0;  // counts the writes, so a hook that starts or stops one is seen
};
