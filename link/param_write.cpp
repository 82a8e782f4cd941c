#include "param_write.h"

ParamWrite::ParamWrite(EventPort& loop) : m_loop(loop), m_pause(loop.MakeTimer()) {}

ParamWrite::~ParamWrite() = default;

void ParamWrite::Start(RequestLink& link, std::vector<std::vector<Byte>> frames, Steps steps) {
    Stop();
    m_link = &link;
    m_frames = std::move(frames);
    m_steps = std::move(steps);
    m_next = 0;
    m_sent = 0;
    m_running = true;
    ++m_run;
    SendNext();
}

void ParamWrite::Stop() {
    m_pause->Stop();
    m_running = false;
}

void ParamWrite::SendNext() {
    const std::uint64_t run = m_run;
    if (m_next == m_frames.size()) {
        FinishFrames();
        return;
    }
    const std::size_t index = m_next++;
    if (m_steps.beforeFrame && !m_steps.beforeFrame(index, m_frames.size())) {
        if (Still(run)) {
            PauseThenReadBack();
        }
        return;
    }
    if (!Still(run)) {
        return;
    }
    const bool sent = m_link->Send(m_frames[index]);
    m_sent += sent ? 1 : 0;
    if (m_steps.afterFrame) {
        m_steps.afterFrame(index, sent);
    }
    if (!Still(run)) {
        return;
    }
    if (m_next < m_frames.size()) {
        m_pause->Start(kFramePause, [this] { SendNext(); });
    } else {
        FinishFrames();
    }
}

// The hook after the last frame may run a nested loop (a modal box) in which the write is
// stopped or started again.
void ParamWrite::FinishFrames() {
    const std::uint64_t run = m_run;
    if (m_steps.afterLast) {
        m_steps.afterLast();
    }
    if (!Still(run)) {
        return;
    }
    const auto settled = [this, run] {
        if (m_steps.settled) {
            m_steps.settled();
        }
        if (Still(run)) {
            PauseThenReadBack();
        }
    };
    if (m_steps.settle.count() == 0) {
        settled();
    } else {
        m_pause->Start(m_steps.settle, settled);
    }
}

void ParamWrite::PauseThenReadBack() {
    m_pause->Start(kReadBackPause, [this] {
        m_running = false;
        if (m_steps.readBack) {
            m_steps.readBack();
        }
    });
}
