#include "ui_handover.h"

#include <utility>

UiHandover::UiHandover(std::function<void()> wake) : m_wake(std::move(wake)) {}

void UiHandover::Post(std::function<void()> fn) {
    {
        const std::lock_guard lock(m_mutex);
        if (!m_open) {
            return;
        }
        m_queue.push_back({std::move(fn), m_nextTicket++});
    }
    m_wake();
}

void UiHandover::Call(std::function<void()> fn) {
    std::uint64_t ticket = 0;
    {
        const std::lock_guard lock(m_mutex);
        if (!m_open) {
            return;
        }
        ticket = m_nextTicket++;
        m_queue.push_back({std::move(fn), ticket});
    }
    m_wake();
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [&] { return m_lastDone >= ticket || m_closedBelow > ticket; });
}

// Tickets run in order, so the last one run marks every earlier one as done.
void UiHandover::Drain() {
    for (;;) {
        Item item;
        {
            const std::lock_guard lock(m_mutex);
            if (m_queue.empty()) {
                return;
            }
            item = std::move(m_queue.front());
            m_queue.pop_front();
        }
        item.fn();
        const std::lock_guard lock(m_mutex);
        m_lastDone = item.ticket;
        m_changed.notify_all();
    }
}

void UiHandover::Close() {
    const std::lock_guard lock(m_mutex);
    m_open = false;
    m_queue.clear();
    m_closedBelow = m_nextTicket;
    m_changed.notify_all();
}

void UiHandover::Open() {
    const std::lock_guard lock(m_mutex);
    m_open = true;
}
