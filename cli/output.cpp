#include "output.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <iostream>

namespace {

std::string ModuleMembers(const std::string& module, const std::string& command,
                          const std::optional<Byte>& unit) {
    std::string json = "\"module\":" + JsonString(module) + ",\"command\":" + JsonString(command);
    if (unit) {
        json += ",\"unit\":" + std::to_string(*unit);
    }
    return json;
}

}  // namespace

// How far local time is ahead of UTC at `seconds`, in minutes, from the local time itself:
// strftime's %z is no help, it gives the zone's name on Windows.
long long UtcOffsetMinutes(std::time_t seconds, const std::tm& local) {
    using namespace std::chrono;
    const sys_days day{year{local.tm_year + 1900} / (local.tm_mon + 1) / local.tm_mday};
    const auto localAsUtc =
        day + hours{local.tm_hour} + minutes{local.tm_min} + std::chrono::seconds{local.tm_sec};
    return duration_cast<minutes>(localAsUtc - sys_seconds{std::chrono::seconds{seconds}}).count();
}

std::string TimeText(std::chrono::system_clock::time_point at) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(at);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    std::array<char, 32> date{};
    std::strftime(date.data(), date.size(), "%Y-%m-%dT%H:%M:%S", &local);
    const long long offset = UtcOffsetMinutes(seconds, local);
    const int shift = static_cast<int>(std::min(offset < 0 ? -offset : offset, 24LL * 60));
    std::array<char, 48> text{};
    std::snprintf(text.data(), text.size(), "%s.%03d%c%02d:%02d", date.data(), static_cast<int>(ms),
                  offset < 0 ? '-' : '+', shift / 60, shift % 60);
    return text.data();
}

std::string JsonString(const std::string& text) {
    std::string json = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            json += '\\';
            json += c;
        } else if (byte < 0x20) {
            std::array<char, 8> escape{};
            std::snprintf(escape.data(), escape.size(), "\\u%04x", static_cast<unsigned>(byte));
            json += escape.data();
        } else {
            json += c;
        }
    }
    return json + "\"";
}

void Output::Result(const JobResult& result) const {
    if (result.status == JobResult::kNotEnded) {
        return;
    }
    const std::string time = m_stamped ? TimeText(result.at) : std::string();
    if (result.status != 0) {
        Error(m_stamped ? time + " " + result.module : result.module, result.error);
    }
    if (m_quiet) {
        return;
    }
    if (m_json) {
        std::string json = "{" + (m_stamped ? "\"time\":" + JsonString(time) + "," : "") +
                           ModuleMembers(result.module, result.command, result.unit);
        json += result.status == 0 ? ",\"ok\":true," + result.json
                                   : ",\"ok\":false,\"status\":" + std::to_string(result.status) +
                                         ",\"error\":" + JsonString(result.error);
        std::cout << json << "}" << std::endl;
    } else if (result.status == 0) {
        std::cout << (m_stamped ? time + " " : "") << result.module << " unit "
                  << static_cast<int>(result.unit.value_or(0)) << ": " << result.text << std::endl;
    }
}

void Output::Event(const std::string& module, const JobEvent& event) const {
    if (m_quiet) {
        return;
    }
    const std::string time = TimeText(std::chrono::system_clock::now());
    if (m_json) {
        std::cout << "{\"time\":" << JsonString(time) << ",\"module\":" << JsonString(module) << ","
                  << event.json << "}" << std::endl;
    } else {
        std::cout << time << " " << module << ": " << event.text << std::endl;
    }
}

void Output::Error(const std::string& module, const std::string& message) {
    std::cerr << "kestrel-cli: " << (module.empty() ? "" : module + ": ") << message << std::endl;
}

void Output::Note(const std::string& line) const {
    (m_json ? std::cerr : std::cout) << line << std::endl;
}
