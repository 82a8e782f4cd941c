// Throughput of the stream framers on a flood of valid replies and on random bytes, fed in the
// pieces the links read: 4096 bytes from the socket, 512 from the COM port.
#include <chrono>
#include <random>
#include <vector>

#include "bench_sections.h"
#include "crc16.h"
#include "stream_framer.h"

namespace {

using Mode = StreamFramer::Mode;
constexpr std::size_t kPatternBytes = 1 << 20;

struct FramerCase {
    const char* name;
    Mode mode;
    std::size_t chunk;
};
constexpr FramerCase kCases[] = {
    {"Mbap", Mode::Mbap, 4096},
    {"RtuStream", Mode::RtuStream, 4096},
    {"RtuChecked", Mode::RtuChecked, 512},
};

// The replies the panel meets: relay echo, inputs, analog values, parameter block.
std::vector<std::vector<Byte>> ReplyBodies() {
    return {{0x01, 0x05, 0x00, 0x10, 0xFF, 0x00},
            {0x01, 0x01, 0x01, 0x05},
            {0x01, 0x04, 0x04, 0x02, 0x00, 0x03, 0xFF},
            {0x01, 0x03, 0x0A, 0x01, 0x00, 0x02, 0x07, 0x16, 0x00, 0x00, 0x00, 0x00, 0x00}};
}

void AppendFrame(std::vector<Byte>& out, const std::vector<Byte>& body, Mode mode) {
    if (mode == Mode::Mbap) {
        const auto length = static_cast<Byte>(body.size());
        out.insert(out.end(), {0x00, 0x01, 0x00, 0x00, 0x00, length});
        out.insert(out.end(), body.begin(), body.end());
        return;
    }
    out.insert(out.end(), body.begin(), body.end());
    const std::uint16_t crc = Crc16Modbus(body.data(), static_cast<std::uint16_t>(body.size()));
    out.push_back(static_cast<Byte>(crc >> 8));
    out.push_back(static_cast<Byte>(crc & 0xFF));
}

// About a MiB of whole frames; `frames` says how many.
std::vector<Byte> ValidPattern(Mode mode, std::size_t& frames) {
    const auto bodies = ReplyBodies();
    std::vector<Byte> pattern;
    frames = 0;
    while (pattern.size() < kPatternBytes) {
        AppendFrame(pattern, bodies[frames % bodies.size()], mode);
        ++frames;
    }
    return pattern;
}

std::vector<Byte> GarbagePattern() {
    std::mt19937 random(20240601);
    std::uniform_int_distribution<int> byte(0, 255);
    std::vector<Byte> pattern(kPatternBytes);
    for (Byte& b : pattern) {
        b = static_cast<Byte>(byte(random));
    }
    return pattern;
}

struct Throughput {
    double megabytesPerSecond = 0.0;
    std::size_t frames = 0;
};

Throughput Measure(const FramerCase& c, const std::vector<Byte>& pattern, std::size_t mib) {
    std::size_t frames = 0;
    StreamFramer framer(c.mode, [&frames](std::span<const Byte>) { ++frames; });
    const std::size_t rounds = std::max<std::size_t>(1, mib * (1 << 20) / pattern.size());
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t round = 0; round < rounds; ++round) {
        for (std::size_t at = 0; at < pattern.size(); at += c.chunk) {
            const std::size_t size = std::min(c.chunk, pattern.size() - at);
            framer.Feed(std::span<const Byte>(pattern.data() + at, size));
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double bytes = static_cast<double>(rounds * pattern.size());
    return {bytes / seconds / 1e6, frames / rounds};
}

}  // namespace

void BenchFramers(BenchTable& table, const BenchOptions& options) {
    const auto garbage = GarbagePattern();
    for (const FramerCase& c : kCases) {
        std::size_t expected = 0;
        const auto valid = ValidPattern(c.mode, expected);
        const Throughput good = Measure(c, valid, options.framerMiB);
        const Throughput noise = Measure(c, garbage, options.framerMiB);
        const std::string figure = Format("6. StreamFramer %s, %zu-byte pieces", c.name, c.chunk);
        if (good.frames != expected) {
            table.Failed(figure, Format("%zu of %zu frames framed", good.frames, expected));
            continue;
        }
        table.Info(figure, Format("valid frames %.0f MB/s, random bytes %.0f MB/s",
                                  good.megabytesPerSecond, noise.megabytesPerSecond));
    }
}
