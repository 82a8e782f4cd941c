#pragma once

#include <optional>

// Where a search sends its request, from KESTREL_DISCOVERY_SCOPE.
enum class SearchScope {
    Loopback,       // 127.255.255.255 and 127.0.0.1 only: nothing leaves the machine
    AllInterfaces,  // loopback and every broadcast-capable IPv4 interface
};

// The scope a value of KESTREL_DISCOVERY_SCOPE names (null: the variable is unset, which means
// every interface). "loopback" is compared without case and surrounding blanks. Any other value
// gives nullopt: the caller keeps the search on loopback rather than guess at a broadcast.
std::optional<SearchScope> ParseSearchScope(const char* value);
