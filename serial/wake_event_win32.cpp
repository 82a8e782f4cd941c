#include <windows.h>

#include "wake_event.h"

WakeEvent::WakeEvent() : m_event(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

WakeEvent::~WakeEvent() {
    if (m_event != nullptr) {
        CloseHandle(m_event);
    }
}

void WakeEvent::Signal() const {
    SetEvent(m_event);
}

void WakeEvent::Clear() const {
    ResetEvent(m_event);
}
