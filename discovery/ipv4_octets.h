#pragma once

#include <array>
#include <cstdint>
#include <string>

// The four address bytes of dotted IPv4 text, first octet first; 0.0.0.0 when the text is not
// IPv4 in the platform's strict dotted form. Read by the platform's own parser
// (ipv4_octets_posix.cpp, ipv4_octets_win32.cpp).
std::array<std::uint8_t, 4> Ipv4Octets(const std::string& text);
