#include "search_scope.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace {

bool IsBlank(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool SameWordIgnoringCase(std::string_view text, std::string_view word) {
    return std::equal(text.begin(), text.end(), word.begin(), word.end(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == static_cast<unsigned char>(b);
    });
}

}  // namespace

std::optional<SearchScope> ParseSearchScope(const char* value) {
    if (value == nullptr) {
        return SearchScope::AllInterfaces;
    }
    if (SameWordIgnoringCase(Trimmed(value), "loopback")) {
        return SearchScope::Loopback;
    }
    return std::nullopt;
}
