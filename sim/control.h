#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "module_model.h"

namespace sim {

// What one control command did: the line to answer with, the upload frames it caused and
// whether the simulator should stop.
struct CommandOutcome {
    std::string reply;
    std::vector<Message> uploads;
    bool quit = false;
};

// Runs one line of the control protocol: "di K 0|1", "ai K RAW", "show" or "quit".
// Every line gets exactly one reply line: "ok", "bye", a state line or "error: ...".
CommandOutcome RunCommand(ModuleModel& module, std::string_view line);

// Collects bytes from a stream and hands out complete lines, with bounded memory: a line
// longer than the limit is cut and delivered in pieces.
class LineBuffer {
  public:
    static constexpr std::size_t kMaxLine = 256;

    void Append(std::string_view bytes) { pending_.append(bytes); }
    // The next complete line without its end-of-line characters, if there is one.
    bool NextLine(std::string* line);

  private:
    std::string pending_;
};

}  // namespace sim
