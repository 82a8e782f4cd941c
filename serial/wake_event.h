#pragma once

// A descriptor (on Windows an event) that any thread can make readable (signalled), to wake the
// thread whose event loop watches it. Nothing is shared in memory: a worker that only signals it
// hands over no data, so all that passes between the threads goes through the hand-over's own lock,
// where ThreadSanitizer sees it.
class WakeEvent {
  public:
    WakeEvent();
    ~WakeEvent();
    WakeEvent(const WakeEvent&) = delete;
    WakeEvent& operator=(const WakeEvent&) = delete;

#ifdef _WIN32
    // A manual-reset event HANDLE, for WaitForMultipleObjects.
    void* Handle() const {
        return m_event;
    }
#else
    int Descriptor() const {
        return m_fd;
    }
#endif
    // Any thread: the descriptor becomes readable.
    void Signal() const;
    // The watching thread: readable no more until the next Signal().
    void Clear() const;

  private:
#ifdef _WIN32
    void* m_event = nullptr;
#else
    int m_fd = -1;
#endif
};
