// What the traffic monitor keeps, pairs, counts, filters and saves, with no window.
#include "traffic_log.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "codec.h"
#include "hex.h"
#include "traffic_rows.h"
#include "traffic_saver.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const TraceLink kTcp{"TCP", Framing::ModbusTcp, 0};
const TraceLink kCom{"COM3", Framing::ModbusRtu, 19200};
const Clock::time_point kStart = Clock::now();

void Add(TrafficLog& log, const TraceLink& link, std::string_view direction,
         const std::vector<Byte>& bytes, Clock::duration at = {}, std::string_view text = {}) {
    log.Add({link, direction, bytes, text}, kStart + at);
}

std::vector<Byte> Tcp(const char* message) {
    return EncodeMbap(Hex(message), 1);
}

std::string Line(const TrafficLog& log, std::uint64_t seq) {
    return TrafficLineText(*log.BySeq(seq), TrafficTime::SinceOpen, kStart).substr(13);
}

// ---- replies paired with their requests ---------------------------------------------------------

struct PairCase {
    const char* name;
    const char* request;
    const char* reply;
    bool answered;
};

class ResponseTime : public ::testing::TestWithParam<PairCase> {};

TEST_P(ResponseTime, AReplyAnswersTheOldestRequestOfItsUnitAndFunction) {
    const PairCase& c = GetParam();
    TrafficLog log;
    Add(log, kTcp, "tx", Tcp(c.request), 0ms);
    Add(log, kTcp, "rx", Tcp(c.reply), 5ms);
    log.Take(10, kStart + 10ms);
    ASSERT_EQ(log.Size(), 2U);
    const auto& reply = *log.BySeq(1);
    EXPECT_EQ(reply.responseMs.has_value(), c.answered);
    if (c.answered) {
        EXPECT_DOUBLE_EQ(*reply.responseMs, 5.0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, ResponseTime,
    ::testing::Values(PairCase{"echo", "05 05 0010 FF00", "05 05 0010 FF00", true},
                      PairCase{"ai", "01 04 0000 0002", "01 04 04 0100 0200", true},
                      PairCase{"exception", "01 04 0000 0002", "01 84 02", true},
                      PairCase{"other_coil", "05 05 0010 FF00", "05 05 0011 FF00", false},
                      PairCase{"di_report", "05 05 0010 FF00", "02 05 0010 FF00", false}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(TrafficLog, ARequestWithoutReplyBecomesANoReplyLineWithTheRequest) {
    TrafficLog log;
    Add(log, kTcp, "tx", Tcp("01 05 0010 FF00"));
    log.Take(10, kStart + 999ms);
    EXPECT_EQ(log.Size(), 1U);
    log.Take(10, kStart + 1000ms);
    ASSERT_EQ(log.Size(), 2U);
    EXPECT_EQ(Line(log, 1),
              "TCP         none  00 01 00 00 00 06 01 05 00 10 FF 00  problem: no reply "
              "to write RL1 on, unit 1 within 1000 ms");
    EXPECT_EQ(log.Counters().noReply, 1U);
    // A search step, a close or a failure of the link ends the wait: nothing will answer.
    Add(log, kCom, "tx", EncodeRtu(Hex("FF 03 003F 0005")));
    Add(log, kCom, trace_kind::kStep, {}, 1ms, "search at 2400 baud");
    log.Take(10, kStart + 10s);
    EXPECT_EQ(log.Counters().noReply, 1U);
}

TEST(TrafficLog, CountsEveryFrameExceptionAndDroppedByte) {
    TrafficLog log({.historyBytes = 1, .waitingBytes = 1});  // takes in and keeps one line
    Add(log, kTcp, "tx", Tcp("01 04 0000 0002"));
    Add(log, kTcp, "rx", Tcp("01 84 02"));
    Add(log, kTcp, "rx", Tcp("02 05 0011 FF00"));
    Add(log, kTcp, "drop", Hex("A5 A5 A5"));
    const TrafficCounters c = log.Counters();
    EXPECT_EQ(std::tie(c.sent, c.received, c.exceptions, c.droppedBytes),
              std::make_tuple(1U, 2U, 1U, 3U));
    log.Take(10, kStart);
    EXPECT_EQ(log.Size(), 1U);
    EXPECT_EQ(log.Forgotten(), 3U);
}

// A run of dropped bytes is one line however long it goes on, with its length and first bytes.
TEST(TrafficLog, ARunOfDroppedBytesIsOneLine) {
    TrafficLog log;
    std::vector<Byte> junk(4096);
    for (std::size_t n = 0; n < junk.size(); ++n) junk[n] = static_cast<Byte>(n);
    Add(log, kCom, "drop", junk);
    log.Take(10, kStart);
    for (int n = 0; n < 99; ++n) Add(log, kCom, "drop", junk);
    log.Take(10, kStart);
    ASSERT_EQ(log.Size(), 1U);
    EXPECT_EQ(Line(log, 0),
              "COM3 19200  drop  00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F ...  "
              "problem: dropped 409600 bytes");
    Add(log, kCom, "rx", EncodeRtu(Hex("02 05 0011 FF00")));
    Add(log, kCom, "drop", Hex("A5"));
    log.Take(10, kStart);
    EXPECT_EQ(Line(log, 2), "COM3 19200  drop  A5  problem: dropped 1 byte");
    EXPECT_EQ(log.Counters().droppedBytes, 409601U);
}

// The history holds what its bytes allow; Clear gives every byte back and starts the counts
// again. At most the lines asked for go from the intake into the history per turn.
TEST(TrafficLog, TheHistoryIsBoundedInBytes) {
    TrafficEntry sample;
    sample.bytes.resize(12);
    const std::size_t cost = TrafficLog::CostOf(sample);
    TrafficLog log({.historyBytes = 10 * cost, .waitingBytes = 1 << 20});
    for (int n = 0; n < 25; ++n) Add(log, kTcp, "tx", Tcp("01 05 0010 FF00"));
    EXPECT_EQ(log.Take(20, kStart), 20U);
    EXPECT_EQ(log.Take(20, kStart), 5U);
    EXPECT_EQ(log.Size(), 10U);
    EXPECT_LE(log.HistoryBytes(), 10 * cost);
    EXPECT_EQ(log.FirstSeq(), 15U);
    EXPECT_EQ(log.Forgotten(), 15U);
    log.Clear();
    EXPECT_EQ(log.HistoryBytes(), 0U);
    EXPECT_EQ(log.Counters().sent, 0U);
}

// ---- lines and filters --------------------------------------------------------------------------

TEST(TrafficLog, FramesAreWholeInBothDirectionsAndEventsAreLines) {
    TrafficLog log;
    log.SetWindowAddress(5);
    Add(log, kTcp, trace_kind::kOpen, {}, 0ms, "connected to 127.0.0.1:502");
    Add(log, kTcp, "tx", Tcp("05 05 0010 FF00"), 1ms);
    Add(log, kTcp, "rx", Tcp("05 05 0010 FF00"), 3ms);
    Add(log, kTcp, trace_kind::kClose, {}, 4ms, "reset by 127.0.0.1:502");
    log.Take(10, kStart + 5ms);
    EXPECT_EQ(Line(log, 0), "TCP         open  connected to 127.0.0.1:502");
    EXPECT_EQ(
        Line(log, 2),
        "TCP         rx    00 01 00 00 00 06 05 05 00 10 FF 00  echo RL1 on, unit 5 (2.000 ms)");
    EXPECT_EQ(Line(log, 3), "TCP         close problem: reset by 127.0.0.1:502");
    EXPECT_EQ(
        TrafficCsvLine(*log.BySeq(2), TrafficTime::SinceOpen, kStart),
        "\"3.000\",\"TCP\",rx,00 01 00 00 00 06 05 05 00 10 FF 00,\"echo RL1 on, unit 5\",2.000");
}

struct FilterCase {
    const char* name;
    TrafficFilter filter;
    std::vector<std::uint64_t> shown;
};

class Filters : public ::testing::TestWithParam<FilterCase> {};

// The lines: 0 open, 1 tx unit 1 fn 4, 2 rx exception unit 1, 3 drop, 4 tx unit 2 fn 5.
TEST_P(Filters, ShowTheLinesTheyLetThrough) {
    TrafficLog log;
    Add(log, kTcp, trace_kind::kOpen, {}, 0ms, "connected");
    Add(log, kTcp, "tx", Tcp("01 04 0000 0002"));
    Add(log, kTcp, "rx", Tcp("01 84 02"));
    Add(log, kTcp, "drop", Hex("A5"));
    Add(log, kTcp, "tx", Tcp("02 05 0010 FF00"));
    log.Take(10, kStart);
    TrafficRows rows;
    rows.SetFilter(GetParam().filter, log);
    std::vector<std::uint64_t> shown;
    for (std::size_t row = 0; row < rows.Visible(); ++row) shown.push_back(rows.SeqAt(row));
    EXPECT_EQ(shown, GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, Filters,
    ::testing::Values(FilterCase{"all", {}, {0, 1, 2, 3, 4}},
                      FilterCase{"sent", {TrafficDirection::Sent, {}, {}, false}, {1, 4}},
                      FilterCase{"received", {TrafficDirection::Received, {}, {}, false}, {2, 3}},
                      FilterCase{"unit", {TrafficDirection::Any, Byte{1}, {}, false}, {1, 2}},
                      FilterCase{"function", {TrafficDirection::Any, {}, Byte{4}, false}, {1, 2}},
                      FilterCase{"problems", {TrafficDirection::Any, {}, {}, true}, {2, 3}}),
    [](const auto& p) { return std::string(p.param.name); });

// While paused the rows stay; on resuming what came meanwhile is shown. Lines the history lets go
// leave the rows from the front.
TEST(TrafficRows, PauseHoldsWhatComesAndResumeShowsIt) {
    TrafficEntry sample;
    sample.bytes.resize(12);
    TrafficLog log({.historyBytes = 4 * TrafficLog::CostOf(sample), .waitingBytes = 1 << 20});
    TrafficRows rows;
    Add(log, kTcp, "tx", Tcp("01 05 0010 FF00"));
    log.Take(10, kStart);
    EXPECT_EQ(rows.Update(log).appended, 1U);
    rows.SetPaused(true);
    for (int n = 0; n < 2; ++n) Add(log, kTcp, "tx", Tcp("01 05 0010 FF00"));
    log.Take(10, kStart);
    EXPECT_EQ(rows.Update(log).appended, 0U);
    EXPECT_EQ(rows.Held(), 2U);
    rows.SetPaused(false);
    EXPECT_EQ(rows.Update(log).appended, 2U);
    for (int n = 0; n < 3; ++n) Add(log, kTcp, "tx", Tcp("01 05 0010 FF00"));
    log.Take(10, kStart);
    const TrafficRows::Change change = rows.Update(log);
    EXPECT_EQ(change.removedFront, 2U);
    EXPECT_EQ(change.appended, 3U);
    EXPECT_EQ(rows.SeqAt(0), log.FirstSeq());
}

TEST(TrafficRows, AViewHoldsTheNewestRowsOnly) {
    TrafficLog log;
    TrafficRows rows(3);
    for (int n = 0; n < 5; ++n) Add(log, kTcp, "tx", Tcp("01 05 0010 FF00"));
    log.Take(10, kStart);
    EXPECT_EQ(rows.Update(log).appended, 3U);
    EXPECT_EQ(rows.SeqAt(0), 2U);
}

// ---- saving -------------------------------------------------------------------------------------

std::string Saved(TrafficFormat format, const std::string& path, std::string* error = nullptr) {
    TrafficLog log;
    log.SetWindowAddress(1);
    Add(log, kTcp, "tx", Tcp("01 05 0010 FF00"), 1ms);
    Add(log, kTcp, "rx", Tcp("01 05 0010 FF00"), 2ms);
    log.Take(10, kStart + 3ms);
    TrafficSaver saver({path, format, log.Snapshot(), TrafficTime::SinceOpen, kStart, 7});
    while (!saver.Done()) std::this_thread::yield();
    if (error) *error = saver.Error();
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

TEST(TrafficSaver, WritesTextOrCsvOffTheCallersThread) {
    const std::string dir = ::testing::TempDir();
    EXPECT_EQ(
        Saved(TrafficFormat::Text, dir + "traffic.txt"),
        "(7 earlier lines are no longer kept)\n"
        "      1.000  TCP         tx    00 01 00 00 00 06 01 05 00 10 FF 00  write RL1 on, unit 1\n"
        "      2.000  TCP         rx    00 01 00 00 00 06 01 05 00 10 FF 00  echo RL1 on, unit 1 "
        "(1.000 ms)\n");
    EXPECT_EQ(
        Saved(TrafficFormat::Csv, dir + "traffic.csv"),
        "time,link,direction,hex,decode,response_ms\n"
        "\"1.000\",\"TCP\",tx,00 01 00 00 00 06 01 05 00 10 FF 00,\"write RL1 on, unit 1\",\n"
        "\"2.000\",\"TCP\",rx,00 01 00 00 00 06 01 05 00 10 FF 00,\"echo RL1 on, unit 1\",1.000\n");
    std::string error;
    Saved(TrafficFormat::Text, dir + "missing/traffic.txt", &error);
    EXPECT_EQ(error, "No such file or directory");
    EXPECT_FALSE(std::ifstream(dir + "traffic.txt.part").good());
}

}  // namespace
