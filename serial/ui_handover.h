#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

// Calls that a worker thread hands to the thread that owns the user interface. The worker queues
// them under a mutex and asks, through the wake callback, for the queue to be drained; the owning
// thread runs them in Drain(). Everything that passes from one thread to the other passes through
// the mutex, so the hand-over needs nothing of the owner's event loop but one wake-up.
class UiHandover {
  public:
    // wake: called on the worker thread after a call was queued; it must lead to Drain() on the
    // owning thread soon (it may post to an event loop, or signal a waiting thread).
    explicit UiHandover(std::function<void()> wake);

    // Worker: queues fn and returns at once. Dropped while closed.
    void Post(std::function<void()> fn);
    // Worker: queues fn and waits until it has run, or until Close() (fn then never runs).
    void Call(std::function<void()> fn);

    // Owner: runs every call queued, in order. A call may close or reopen the hand-over.
    void Drain();
    // Owner: drops every queued call and releases every waiting Call(); until Open(), calls are
    // dropped as they come.
    void Close();
    void Open();

  private:
    struct Item {
        std::function<void()> fn;
        std::uint64_t ticket;
    };

    std::function<void()> m_wake;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Item> m_queue;
    std::uint64_t m_nextTicket = 1;
    std::uint64_t m_lastDone = 0;     // the ticket of the last call run
    std::uint64_t m_closedBelow = 0;  // the tickets below this one that had not run were dropped
    bool m_open = true;
};
