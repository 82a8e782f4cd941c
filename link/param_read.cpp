#include "param_read.h"

#include "device_params.h"

ParamRead::ParamRead(EventPort& loop) : m_loop(loop), m_pause(loop.MakeTimer()) {}

ParamRead::~ParamRead() = default;

bool ParamRead::Start(RequestLink& link, std::optional<Byte> unit, Hooks hooks) {
    m_pause->Stop();
    m_link = &link;
    m_hooks = std::move(hooks);
    const Framing framing = link.LinkFraming();
    const std::uint16_t first = unit ? 5 : 3;
    if (m_hooks.beforeFrame) {
        m_hooks.beforeFrame(first);
    }
    const bool sent =
        link.Send(unit ? ParamReadFrame(5, framing, *unit) : ParamReadFrame(3, framing));
    if (unit) {
        if (m_hooks.ended) {
            m_hooks.ended(sent);
        }
    } else if (framing == Framing::ModbusRtu) {
        m_pause->Start(kRtuPause, [this] { SendSecond(); });
    } else {
        SendSecond();
    }
    return sent;
}

bool ParamRead::Pending() const {
    return m_pause->Active();
}

void ParamRead::Stop(bool tell) {
    if (!m_pause->Active()) {
        return;
    }
    m_pause->Stop();
    if (tell && m_hooks.ended) {
        m_hooks.ended(false);
    }
}

void ParamRead::SendSecond() {
    if (m_hooks.beforeFrame) {
        m_hooks.beforeFrame(5);
    }
    const bool sent = m_link->Send(ParamReadFrame(5, m_link->LinkFraming()));
    if (m_hooks.ended) {
        m_hooks.ended(sent);
    }
}
