#pragma once

#include <functional>
#include <memory>

#include "event_port.h"

// SIGINT and SIGTERM end the program in order: the handler cuts short every wait of a COM port
// (CSerialPort::EndAllWaits: a search or a paced write gets back to its loop within
// milliseconds), notes the signal and writes a byte into a pipe; a thread of the watch turns that
// byte into `caught` posted on the loop. A blocking system call of the program (a read from the
// terminal) is interrupted rather than resumed. One watch at a time; the handlers stay until it
// goes.
class SignalWatch {
  public:
    // Installs the handlers. `caught` runs on the loop's thread with the signal's number, once per
    // signal (two signals in a row may be told once).
    SignalWatch(EventPort& loop, std::function<void(int signo)> caught);
    ~SignalWatch();  // the default handlers come back
    SignalWatch(const SignalWatch&) = delete;
    SignalWatch& operator=(const SignalWatch&) = delete;

    // Any thread, at once: the number of the last signal caught, 0 while none was.
    static int Caught();
    // False when the watch could not be set up (no pipe or no thread): signals then end the
    // program as they do by default.
    bool Active() const;

  private:
    struct Platform;
    std::unique_ptr<Platform> m_platform;
};
