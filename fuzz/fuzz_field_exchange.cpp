// The field-exchange parsers and formatters the dialogs use: any text is either refused or gives
// a value that the field shows as a text it takes back unchanged.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>

#include "field_exchange.h"

namespace {

void TrapIf(bool broken) {
    if (broken) {
        __builtin_trap();
    }
}

void CheckUnsigned(std::string_view text) {
    if (const auto value = ParseUnsignedField(text)) {
        TrapIf(ParseUnsignedField(FormatUnsignedField(*value)) != value);
        // A whole number is the same number in a field that takes fractions (short of the
        // ceiling at which unsigned values are held).
        const auto asFloat = ParseFloatField(text);
        TrapIf(*value != std::numeric_limits<std::uint32_t>::max() &&
               asFloat != static_cast<float>(*value));
    }
    if (const auto value = ParseByteField(text)) {
        TrapIf(ParseUnsignedField(text) != *value);
    }
}

// A finite value is shown as at most six significant digits; the text shown is taken back, and
// shows again as the very same text, so OK on an untouched field changes nothing.
void CheckFloat(std::string_view text) {
    const auto value = ParseFloatField(text);
    if (!value || !std::isfinite(*value)) {
        return;  // beyond the range of a float: taken as infinite
    }
    TrapIf(*value == 0.0F && std::signbit(*value));  // "-0" is refused, never taken as -0
    const std::string shown = FormatFloatField(*value);
    const auto again = ParseFloatField(shown);
    TrapIf(!again || FormatFloatField(*again) != shown);
    const float tolerance = std::abs(*value) * 1e-5F + std::numeric_limits<float>::denorm_min();
    TrapIf(std::abs(*again - *value) > tolerance);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    CheckUnsigned(text);
    CheckFloat(text);
    return 0;
}
