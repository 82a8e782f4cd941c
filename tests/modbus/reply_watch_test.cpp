#include "reply_watch.h"

#include <gtest/gtest.h>

#include "hex.h"

namespace {

using Clock = ReplyWatch::Clock;
using std::chrono::milliseconds;

const Clock::time_point kStart{};

// Requests as the panel sends them: RL1 on to unit 5, a DI query and an AI query.
void SendThree(ReplyWatch& watch) {
    watch.Sent({5, 5, 0x10, "RL1 Closed"}, kStart + milliseconds(1000));
    watch.Sent({5, 1, 0, "query DI"}, kStart + milliseconds(1100));
    watch.Sent({5, 4, 0, "query AI"}, kStart + milliseconds(1200));
}

struct ReplyCase {
    const char* name;
    std::vector<const char*> replies;
    std::vector<std::string> refusals;    // lines the replies give
    std::vector<std::string> unanswered;  // lines once every deadline has passed
};

const ReplyCase kReplyCases[] = {
    {"all answered", {"05 05 00 10 FF 00", "05 01 01 03", "05 04 04 00 01 00 02"}, {}, {}},
    {"none answered",
     {},
     {},
     {"No reply from unit 5 to RL1 Closed", "No reply from unit 5 to query DI",
      "No reply from unit 5 to query AI"}},
    {"echo of another coil answers nothing",
     {"05 05 00 11 FF 00"},
     {},
     {"No reply from unit 5 to RL1 Closed", "No reply from unit 5 to query DI",
      "No reply from unit 5 to query AI"}},
    {"another unit's report answers nothing",
     {"07 05 00 10 FF 00", "07 04 04 00 01 00 02"},
     {},
     {"No reply from unit 5 to RL1 Closed", "No reply from unit 5 to query DI",
      "No reply from unit 5 to query AI"}},
    {"exception replies refuse",
     {"05 84 02", "05 81 01", "05 85 04"},
     {"Unit 5 refused query AI: exception 2 (illegal data address)",
      "Unit 5 refused query DI: exception 1 (illegal function)",
      "Unit 5 refused RL1 Closed: exception 4 (server device failure)"},
     {}},
    {"unknown exception code",
     {"05 84 63"},
     {"Unit 5 refused query AI: exception 99 (unknown exception)"},
     {"No reply from unit 5 to RL1 Closed", "No reply from unit 5 to query DI"}},
    {"short frames answer nothing",
     {"05", "", "05 05 00"},
     {},
     {"No reply from unit 5 to RL1 Closed", "No reply from unit 5 to query DI",
      "No reply from unit 5 to query AI"}},
};

TEST(ReplyWatch, TellsWhichRequestsWentUnansweredOrWereRefused) {
    for (const ReplyCase& c : kReplyCases) {
        SCOPED_TRACE(c.name);
        ReplyWatch watch;
        SendThree(watch);
        std::vector<std::string> refusals;
        for (const char* reply : c.replies) {
            if (auto line = watch.Received(Hex(reply))) {
                refusals.push_back(*line);
            }
        }
        EXPECT_EQ(refusals, c.refusals);
        EXPECT_TRUE(watch.Expired(kStart + milliseconds(999)).empty());
        EXPECT_EQ(watch.Expired(kStart + milliseconds(1200)), c.unanswered);
        EXPECT_EQ(watch.Watched(), 0U);
    }
}

TEST(ReplyWatch, EachReplyAnswersOneRequestOldestFirst) {
    ReplyWatch watch;
    watch.Sent({1, 4, 0, "query AI"}, kStart + milliseconds(1000));
    watch.Sent({1, 4, 0, "query AI"}, kStart + milliseconds(1500));
    watch.Sent({1, 1, 0, "query DI"}, kStart + milliseconds(1600));
    watch.WithdrawNewest();  // it never went out
    EXPECT_EQ(watch.NextDeadline(), kStart + milliseconds(1000));
    EXPECT_FALSE(watch.Received(Hex("01 04 04 00 01 00 02")));
    EXPECT_EQ(watch.NextDeadline(), kStart + milliseconds(1500));
    EXPECT_EQ(watch.Expired(kStart + milliseconds(2000)),
              std::vector<std::string>{"No reply from unit 1 to query AI"});
    EXPECT_FALSE(watch.NextDeadline());
}

TEST(ReplyTimeout, IsASecondAndTheRoundTripOnTheLine) {
    EXPECT_EQ(ReplyTimeout(), milliseconds(1000));
    EXPECT_EQ(ReplyTimeout(115200), milliseconds(1002));
    EXPECT_EQ(ReplyTimeout(1200), milliseconds(1175));
}

}  // namespace
