// Throughput of the stream framer on a flood of valid frames, on random bytes and on the worst
// input a search could find, fed in the pieces the links read: replies in 4096 bytes from the
// socket and 512 from the COM port, requests in the simulator's reads of 1024 bytes.
#include <time.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "bench_sections.h"
#include "flood_patterns.h"
#include "stream_framer.h"
#include "trace.h"

namespace {

constexpr std::size_t kPatternBytes = 1 << 20;
constexpr std::size_t kSearchBytes = 1 << 17;  // each candidate of the search is timed on this
constexpr double kGoalMBps = 50.0;

struct FramerCase {
    const char* name;
    Framing framing;
    Direction direction;
    std::size_t chunk;
};
constexpr FramerCase kCases[] = {
    {"Mbap", Framing::ModbusTcp, Direction::Reply, 4096},
    {"RtuChecked", Framing::ModbusRtu, Direction::Reply, 512},
    {"RtuChecked", Framing::ModbusRtu, Direction::Reply, 4096},
    {"Mbap requests", Framing::ModbusTcp, Direction::Request, 1024},
    {"Rtu requests", Framing::ModbusRtu, Direction::Request, 1024},
};

// The requests the simulator meets: relay, inputs, analog values, parameter read and write.
std::vector<std::vector<Byte>> RequestBodies() {
    return {{0x01, 0x05, 0x00, 0x10, 0xFF, 0x00},
            {0x01, 0x01, 0x00, 0x00, 0x00, 0x04},
            {0x01, 0x04, 0x00, 0x00, 0x00, 0x02},
            {0xFF, 0x03, 0x00, 0x3F, 0x00, 0x05},
            {0x01, 0x06, 0x00, 0x40, 0x01, 0x02}};
}

struct Throughput {
    double megabytesPerSecond = 0.0;
    std::size_t frames = 0;
};

// Processor time of this thread, in seconds: on a machine shared with other work the framer's
// own work, not the time others held the processor.
double ThreadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

Throughput Measure(const FramerCase& c, const std::vector<Byte>& pattern, std::size_t bytes) {
    std::size_t frames = 0;
    StreamFramer framer(c.framing, c.direction);
    const std::size_t rounds = std::max<std::size_t>(1, bytes / pattern.size());
    const double start = ThreadSeconds();
    for (std::size_t round = 0; round < rounds; ++round) {
        for (std::size_t at = 0; at < pattern.size(); at += c.chunk) {
            const std::size_t size = std::min(c.chunk, pattern.size() - at);
            framer.Append(std::span<const Byte>(pattern.data() + at, size));
            while (const auto piece = framer.Next()) {
                frames += piece->IsFrame() ? 1 : 0;
            }
        }
    }
    const double seconds = ThreadSeconds() - start;
    const double fed = static_cast<double>(rounds * pattern.size());
    return {fed / seconds / 1e6, frames / rounds};
}

// Short units that pose as the starts of long frames, lying headers and the like; the search
// adds random ones drawn mostly from the bytes that mean something to a framer.
std::vector<std::string> KnownHardUnits() {
    return {"01 01 FF",
            "04 FF",
            "FF 04 FF",
            "01 03 FF 01",
            "00",
            "01 84",
            "00 00 00 00 00 FE",
            "00 00 00 00 00 FE 01 04",
            "01 05",
            "00 00 00 00 00 40 01 01 FF"};
}

std::string RandomUnit(std::mt19937& random) {
    static constexpr Byte kMeaningful[] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05,
                                           0x06, 0x40, 0x80, 0x83, 0xFE, 0xFF};
    const std::size_t length = 1 + random() % 8;
    std::vector<Byte> unit;
    for (std::size_t n = 0; n < length; ++n) {
        unit.push_back(random() % 4 == 0 ? static_cast<Byte>(random())
                                         : kMeaningful[random() % std::size(kMeaningful)]);
    }
    return HexText(unit);
}

struct Worst {
    std::string unit;
    double megabytesPerSecond = 1e300;
};

// The slowest unit, repeated, of the known ones and `tries` random ones.
Worst SearchWorst(const FramerCase& c, std::size_t tries) {
    std::mt19937 random(20261207);
    std::vector<std::string> units = KnownHardUnits();
    for (std::size_t n = 0; n < tries; ++n) {
        units.push_back(RandomUnit(random));
    }
    Worst worst;
    for (const std::string& unit : units) {
        const auto pattern = RepeatedPattern(unit, kSearchBytes);
        const double speed = Measure(c, pattern, kSearchBytes).megabytesPerSecond;
        if (speed < worst.megabytesPerSecond) {
            worst = {unit, speed};
        }
    }
    return worst;
}

}  // namespace

void BenchFramers(BenchTable& table, const BenchOptions& options) {
    const auto garbage = RandomPattern(kPatternBytes);
    const std::size_t bytes = options.framerMiB << 20;
    for (const FramerCase& c : kCases) {
        std::size_t expected = 0;
        const auto bodies = c.direction == Direction::Reply ? ReplyBodies() : RequestBodies();
        const auto valid = FramedPattern(bodies, c.framing, kPatternBytes, expected);
        const Throughput good = Measure(c, valid, bytes);
        const Throughput noise = Measure(c, garbage, bytes);
        const std::string figure = Format("6. StreamFramer %s, %zu-byte pieces", c.name, c.chunk);
        if (good.frames != expected) {
            table.Failed(figure, Format("%zu of %zu frames framed", good.frames, expected));
            continue;
        }
        table.Info(figure, Format("valid frames %.0f MB/s, random bytes %.0f MB/s",
                                  good.megabytesPerSecond, noise.megabytesPerSecond));
        const Worst worst = SearchWorst(c, options.framerSearchTries);
        const auto hard = RepeatedPattern(worst.unit, kPatternBytes);
        const double speed = Measure(c, hard, bytes).megabytesPerSecond;
        const double slowest = std::min({speed, good.megabytesPerSecond, noise.megabytesPerSecond});
        const std::size_t searched = KnownHardUnits().size() + options.framerSearchTries;
        table.Check(Format("6. StreamFramer %s, %zu-byte pieces, slowest input", c.name, c.chunk),
                    Format("%.0f MB/s; slowest repeated unit of %zu searched: \"%s\" at %.0f MB/s",
                           slowest, searched, worst.unit.c_str(), speed),
                    ">= 50 MB/s on any input", slowest >= kGoalMBps);
    }
}
