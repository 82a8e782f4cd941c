#include "output.h"

#include <array>
#include <cstdio>
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
    if (result.status != 0) {
        Error(result.module, result.error);
    }
    if (m_quiet) {
        return;
    }
    if (m_json) {
        std::string json = "{" + ModuleMembers(result.module, result.command, result.unit);
        json += result.status == 0 ? ",\"ok\":true," + result.json
                                   : ",\"ok\":false,\"status\":" + std::to_string(result.status) +
                                         ",\"error\":" + JsonString(result.error);
        std::cout << json << "}" << std::endl;
    } else if (result.status == 0) {
        std::cout << result.module << " unit " << static_cast<int>(result.unit.value_or(0)) << ": "
                  << result.text << std::endl;
    }
}

void Output::Event(const std::string& module, const JobEvent& event) const {
    if (m_quiet) {
        return;
    }
    if (m_json) {
        std::cout << "{\"module\":" << JsonString(module) << "," << event.json << "}" << std::endl;
    } else {
        std::cout << module << ": " << event.text << std::endl;
    }
}

void Output::Error(const std::string& module, const std::string& message) {
    std::cerr << "kestrel-cli: " << (module.empty() ? "" : module + ": ") << message << std::endl;
}

void Output::Note(const std::string& line) const {
    (m_json ? std::cerr : std::cout) << line << std::endl;
}
