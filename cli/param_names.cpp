#include "param_names.h"

#include <algorithm>
#include <functional>
#include <optional>

#include "codec.h"
#include "field_exchange.h"
#include "serial_rates.h"

namespace {

struct FieldRule {
    const char* name;
    const char* jsonName;
    // Checks the text; the refusal, or empty.
    std::function<std::string(const std::string&)> check;
    std::function<void(const std::string&, ParamFields&)> apply;
    std::function<std::string(const DeviceParams&)> show;
};

std::optional<int> RateIndex(const std::string& text) {
    const auto value = ParseUnsignedField(text);
    const auto found = std::find_if(kSerialRates.begin(), kSerialRates.end(),
                                    [&](const SerialRate& rate) { return rate.baud == value; });
    if (!value || found == kSerialRates.end()) {
        return std::nullopt;
    }
    return static_cast<int>(found - kSerialRates.begin());
}

std::string ShowRate(const DeviceParams& params) {
    const int index = FieldsOfBlock(params).baudIndex;
    return index < 0 ? "none"
                     : std::to_string(kSerialRates.at(static_cast<std::size_t>(index)).baud);
}

std::string Refusal(bool fits, const char* name, const char* range) {
    return fits ? std::string() : std::string(name) + " must be " + range;
}

FieldRule ByteRule(const char* name, const char* jsonName, Byte ParamFields::*member,
                   std::size_t at, Byte lowest = 0) {
    return {name, jsonName,
            [name, lowest](const std::string& v) {
                const auto value = ParseByteField(v);
                return Refusal(value && *value >= lowest, name, lowest == 0 ? "0..255" : "1..255");
            },
            [member](const std::string& v, ParamFields& f) { f.*member = *ParseByteField(v); },
            [at](const DeviceParams& p) { return std::to_string(p.bytes.at(at)); }};
}

FieldRule PeriodRule(const char* name, const char* jsonName, std::uint32_t ParamFields::*member,
                     std::size_t at) {
    return {name, jsonName,
            [name](const std::string& v) {
                return Refusal(ParseWordField(v).has_value(), name, "0..65535");
            },
            [member](const std::string& v, ParamFields& f) { f.*member = *ParseWordField(v); },
            [at](const DeviceParams& p) { return std::to_string(ReadWord(p.bytes, at)); }};
}

const std::vector<FieldRule>& Rules() {
    static const std::vector<FieldRule> rules = {
        ByteRule("address", "address", &ParamFields::slaveAddr, 0, 1),
        {"baud", "baud",
         [](const std::string& v) {
             return Refusal(RateIndex(v).has_value(), "baud",
                            "one of 1200 2400 4800 9600 19200 38400 57600 115200");
         },
         [](const std::string& v, ParamFields& f) { f.baudIndex = *RateIndex(v); }, ShowRate},
        ByteRule("di-upload", "di_upload", &ParamFields::uploadEnable, 1),
        ByteRule("di-upload-address", "di_upload_address", &ParamFields::uploadAddr, 2),
        PeriodRule("ai1-period", "ai1_period", &ParamFields::ai1Period, 6),
        PeriodRule("ai2-period", "ai2_period", &ParamFields::ai2Period, 8),
        {"version", "version",
         [](const std::string&) { return std::string("version is read only"); },
         [](const std::string&, ParamFields&) {},
         [](const DeviceParams& p) { return VersionText(p.bytes[4]); }},
    };
    return rules;
}

const FieldRule* RuleNamed(const std::string& name) {
    const auto& rules = Rules();
    const auto found = std::find_if(rules.begin(), rules.end(),
                                    [&](const FieldRule& rule) { return name == rule.name; });
    return found == rules.end() ? nullptr : &*found;
}

}  // namespace

std::string ParseAssignment(const std::string& text, ParamAssignment& assignment) {
    const auto equals = text.find('=');
    if (equals == std::string::npos) {
        return text +
               ": expects NAME=VALUE (address, baud, di-upload, di-upload-address, "
               "ai1-period, ai2-period)";
    }
    assignment = {text.substr(0, equals), text.substr(equals + 1)};
    const FieldRule* rule = RuleNamed(assignment.name);
    if (rule == nullptr) {
        return assignment.name +
               ": no such parameter (address, baud, di-upload, "
               "di-upload-address, ai1-period, ai2-period)";
    }
    const std::string refusal = rule->check(assignment.value);
    return refusal.empty() ? std::string() : text + ": " + refusal;
}

bool AssignmentsClash(const std::vector<ParamAssignment>& assignments) {
    std::optional<std::string> address;
    std::optional<std::string> uploadAddress;
    for (const ParamAssignment& assignment : assignments) {
        if (assignment.name == "address") address = assignment.value;
        if (assignment.name == "di-upload-address") uploadAddress = assignment.value;
    }
    return address && uploadAddress && ParseByteField(*address) == ParseByteField(*uploadAddress);
}

void ApplyAssignments(const std::vector<ParamAssignment>& assignments, ParamFields& fields) {
    for (const ParamAssignment& assignment : assignments) {
        RuleNamed(assignment.name)->apply(assignment.value, fields);
    }
}

std::string BlockText(const DeviceParams& params) {
    std::string text;
    for (const FieldRule& rule : Rules()) {
        text += (text.empty() ? "" : " ") + std::string(rule.name) + "=" + rule.show(params);
    }
    return text;
}

std::string BlockJson(const DeviceParams& params) {
    std::string json;
    for (const FieldRule& rule : Rules()) {
        std::string value = rule.show(params);
        if (value == "none") {
            value = "null";
        } else if (std::string(rule.name) == "version") {
            value = "\"" + value + "\"";
        }
        json += (json.empty() ? "\"" : ",\"") + std::string(rule.jsonName) + "\":" + value;
    }
    return json;
}

std::string ChangesText(const DeviceParams& before, const DeviceParams& after) {
    std::string text;
    for (const FieldRule& rule : Rules()) {
        const std::string was = rule.show(before);
        const std::string now = rule.show(after);
        if (was != now) {
            text += (text.empty() ? "" : " ") + std::string(rule.name) + "=" + was + "->" + now;
        }
    }
    return text;
}
