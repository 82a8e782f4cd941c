#include "control.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <sstream>

namespace sim {

namespace {

std::optional<int> ParseNumber(const std::string& word, int low, int high) {
    int value = 0;
    const char* end = word.data() + word.size();
    const auto [ptr, ec] = std::from_chars(word.data(), end, value);
    if (word.empty() || ec != std::errc() || ptr != end || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

CommandOutcome SetDigital(ModuleModel& module, const std::vector<std::string>& words) {
    auto index = words.size() == 3 ? ParseNumber(words[1], 1, kDigitalInputCount) : std::nullopt;
    auto level = words.size() == 3 ? ParseNumber(words[2], 0, 1) : std::nullopt;
    if (!index || !level) return {"error: usage: di K 0|1 (K = 1..4)", {}, false};
    CommandOutcome outcome{"ok", {}, false};
    if (auto upload = module.SetDigitalInput(*index - 1, *level == 1)) {
        outcome.uploads.push_back(*upload);
    }
    return outcome;
}

CommandOutcome SetAnalog(ModuleModel& module, const std::vector<std::string>& words) {
    auto index = words.size() == 3 ? ParseNumber(words[1], 1, kAnalogInputCount) : std::nullopt;
    auto raw = words.size() == 3 ? ParseNumber(words[2], 0, 65535) : std::nullopt;
    if (!index || !raw) return {"error: usage: ai K RAW (K = 1..2, RAW = 0..65535)", {}, false};
    module.SetAnalogInput(*index - 1, static_cast<std::uint16_t>(*raw));
    return {"ok", {}, false};
}

}  // namespace

CommandOutcome RunCommand(ModuleModel& module, std::string_view line) {
    std::istringstream in{std::string(line)};
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    if (words.empty())
        return {"error: empty command; try show, di K 0|1, ai K RAW, quit", {}, false};
    const std::string& verb = words[0];
    if (verb == "di") return SetDigital(module, words);
    if (verb == "ai") return SetAnalog(module, words);
    if (verb == "show" && words.size() == 1) return {module.Describe(), {}, false};
    if (verb == "quit" && words.size() == 1) return {"bye", {}, true};
    return {"error: unknown command; try show, di K 0|1, ai K RAW, quit", {}, false};
}

bool LineBuffer::NextLine(std::string* line) {
    const auto end = pending_.find('\n');
    if (end == std::string::npos) {
        if (pending_.size() < kMaxLine) return false;
        *line = pending_.substr(0, kMaxLine);
        pending_.erase(0, kMaxLine);
        return true;
    }
    *line = pending_.substr(0, std::min(end, kMaxLine));
    pending_.erase(0, end + 1);
    if (!line->empty() && line->back() == '\r') line->pop_back();
    return true;
}

}  // namespace sim
