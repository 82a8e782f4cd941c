// The field-exchange parsers: any text is either refused or gives a value that formats and
// parses back to itself.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "field_exchange.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (const auto value = ParseUnsignedField(text)) {
        if (ParseUnsignedField(FormatUnsignedField(*value)) != value) {
            __builtin_trap();
        }
    }
    if (const auto value = ParseByteField(text)) {
        if (ParseUnsignedField(text) != *value) {
            __builtin_trap();
        }
    }
    if (const auto value = ParseFloatField(text)) {
        (void)FormatFloatField(*value);
    }
    return 0;
}
