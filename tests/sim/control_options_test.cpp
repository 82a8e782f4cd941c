#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control.h"
#include "options.h"

namespace {

using sim::ParseCommandLine;

struct CommandCase {
    const char* line;
    std::string reply;  // a prefix of the expected reply
    std::size_t uploads;
    bool quit;
};

// Upload enabled to address 2, so input changes produce uploads.
sim::ModuleModel UploadingModule() {
    sim::ModuleModel module;
    module.HandleRequest(sim::Message{1, 6, 0, 0x3F, 0x01, 0x01});
    return module;
}

TEST(ControlTest, EachCommandAnswersOneLine) {
    const CommandCase cases[] = {
        {"di 2 1", "ok", 1, false},
        {"di 2 1", "ok", 0, false},  // no change, no upload
        {"di 2 0", "ok", 1, false},
        {"ai 2 700", "ok", 0, false},
        {"  show  ", "state relays=0000 di=0000 ai=0,700 params=01 01", 0, false},
        {"di 5 1", "error:", 0, false},
        {"di 1 2", "error:", 0, false},
        {"di 1", "error:", 0, false},
        {"ai 1 65536", "error:", 0, false},
        {"ai 3 1", "error:", 0, false},
        {"ai 1 -1", "error:", 0, false},
        {"", "error:", 0, false},
        {"reboot", "error:", 0, false},
        {"quit now", "error:", 0, false},
        {"quit", "bye", 0, true},
    };
    sim::ModuleModel module = UploadingModule();
    for (const auto& c : cases) {
        const sim::CommandOutcome outcome = sim::RunCommand(module, c.line);
        EXPECT_EQ(outcome.reply.rfind(c.reply, 0), 0U) << c.line << " -> " << outcome.reply;
        EXPECT_EQ(outcome.uploads.size(), c.uploads) << c.line;
        EXPECT_EQ(outcome.quit, c.quit) << c.line;
    }
}

TEST(LineBufferTest, SplitsLinesAndBoundsLongOnes) {
    sim::LineBuffer lines;
    lines.Append("sh");
    std::string line;
    EXPECT_FALSE(lines.NextLine(&line));
    lines.Append("ow\r\ndi 1 1\n");
    ASSERT_TRUE(lines.NextLine(&line));
    EXPECT_EQ(line, "show");
    ASSERT_TRUE(lines.NextLine(&line));
    EXPECT_EQ(line, "di 1 1");
    lines.Append(std::string(1000, 'x'));
    ASSERT_TRUE(lines.NextLine(&line));
    EXPECT_EQ(line.size(), sim::LineBuffer::kMaxLine);
}

struct BadLineCase {
    std::vector<std::string> args;
    const char* complaint;  // part of the error
};

TEST(OptionsTest, RefusesUnusableCommandLines) {
    const BadLineCase cases[] = {
        {{"--bogus"}, "unknown option"},
        {{"--tcp"}, "needs a value"},
        {{"--tcp", "127.0.0.1"}, "HOST:PORT"},
        {{"--tcp", "127.0.0.1:70000"}, "port"},
        {{"--framing", "ascii"}, "tcp or rtu"},
        {{"--serial", "ttyS0"}, "COM"},
        {{"--serial", "COM3", "--baud", "14400"}, "1200"},
        {{"--serial", "COM3", "--tcp", "127.0.0.1:5000"}, "exclude"},
        {{"--serial", "COM3", "--framing", "tcp"}, "RTU"},
        {{"--address", "248"}, "0 to 247"},
        {{"--address", "12x"}, "0 to 247"},
        {{"--reply-unit", "256"}, "0 to 255"},
        {{"--di", "10102"}, "four digits"},
        {{"--di", "10a0"}, "four digits"},
        {{"--ai", "5,70000"}, "0..65535"},
        {{"--split", "0:10"}, "N:MS"},
        {{"--name", std::string(40, 'n')}, "characters"},
        {{"--idle-timeout", "0"}, "1 to 86400"},
    };
    for (const auto& c : cases) {
        const auto parsed = ParseCommandLine(c.args);
        EXPECT_NE(parsed.error.find(c.complaint), std::string::npos)
            << c.args[0] << ": " << parsed.error;
    }
}

}  // namespace
