#include "flood_patterns.h"

#include <random>

#include "codec.h"

std::vector<std::vector<Byte>> ReplyBodies() {
    return {{0x01, 0x05, 0x00, 0x10, 0xFF, 0x00},
            {0x01, 0x01, 0x01, 0x05},
            {0x01, 0x04, 0x04, 0x02, 0x00, 0x03, 0xFF},
            {0x01, 0x03, 0x0A, 0x01, 0x00, 0x02, 0x07, 0x16, 0x00, 0x00, 0x00, 0x00, 0x00}};
}

std::vector<std::vector<Byte>> AnalogBodies() {
    return {{0x01, 0x04, 0x04, 0x02, 0x00, 0x03, 0xFF}, {0x01, 0x04, 0x04, 0x03, 0xFF, 0x02, 0x00}};
}

std::vector<Byte> FramedPattern(const std::vector<std::vector<Byte>>& bodies, Framing framing,
                                std::size_t size, std::size_t& frames) {
    constexpr std::uint16_t kTransactionId = 1;
    std::vector<Byte> pattern;
    frames = 0;
    while (pattern.size() < size) {
        const auto frame = EncodeMessage(bodies[frames % bodies.size()], framing, kTransactionId);
        pattern.insert(pattern.end(), frame.begin(), frame.end());
        ++frames;
    }
    return pattern;
}

std::vector<Byte> RandomPattern(std::size_t size) {
    std::mt19937 random(20240601);
    std::uniform_int_distribution<int> byte(0, 255);
    std::vector<Byte> pattern(size);
    for (Byte& b : pattern) {
        b = static_cast<Byte>(byte(random));
    }
    return pattern;
}

std::vector<Byte> RepeatedPattern(const std::string& unit, std::size_t size) {
    std::vector<Byte> bytes;
    for (std::size_t at = 0; at + 1 < unit.size(); at += 3) {
        bytes.push_back(static_cast<Byte>(std::stoul(unit.substr(at, 2), nullptr, 16)));
    }
    std::vector<Byte> pattern;
    while (pattern.size() < size) {
        pattern.insert(pattern.end(), bytes.begin(), bytes.end());
    }
    return pattern;
}
