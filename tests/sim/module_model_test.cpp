#include "module_model.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using sim::Message;
using sim::ModuleModel;
using sim::ModuleSettings;

// DI1 and DI3 active, AI1 = 0x0200, AI2 = 0x03FF, address 1.
ModuleModel SampleModule(ModuleSettings settings = {}) {
    ModuleModel module(settings);
    module.SetDigitalInput(0, true);
    module.SetDigitalInput(2, true);
    module.SetAnalogInput(0, 0x0200);
    module.SetAnalogInput(1, 0x03FF);
    return module;
}

struct ReplyCase {
    const char* name;
    Message request;
    std::optional<Message> reply;
};

void PrintTo(const ReplyCase& c, std::ostream* out) {
    *out << c.name;
}

class ReplyTest : public testing::TestWithParam<ReplyCase> {};

TEST_P(ReplyTest, AnswersWithExactBytes) {
    ModuleModel module = SampleModule();
    EXPECT_EQ(module.HandleRequest(GetParam().request), GetParam().reply);
}

const ReplyCase kReplyCases[] = {
    // Reading the digital inputs: DI1 is bit 0.
    {"ReadAllInputs", {1, 1, 0, 0, 0, 4}, Message{1, 1, 1, 0x05}},
    {"ReadInputsFromSecond", {1, 1, 0, 1, 0, 2}, Message{1, 1, 1, 0x02}},
    {"ReadZeroInputs", {1, 1, 0, 0, 0, 0}, Message{1, 0x81, 3}},
    {"ReadTooManyInputs", {1, 1, 0, 0, 0, 5}, Message{1, 0x81, 2}},
    {"ReadInputsPastEnd", {1, 1, 0, 4, 0, 1}, Message{1, 0x81, 2}},
    {"ReadHugeInputCount", {1, 1, 0, 0, 0x07, 0xD1}, Message{1, 0x81, 3}},
    // Analog inputs, big-endian.
    {"ReadBothAnalog", {1, 4, 0, 0, 0, 2}, Message{1, 4, 4, 0x02, 0x00, 0x03, 0xFF}},
    {"ReadFirstAnalog", {1, 4, 0, 0, 0, 1}, Message{1, 4, 2, 0x02, 0x00}},
    {"ReadThreeAnalog", {1, 4, 0, 0, 0, 3}, Message{1, 0x84, 2}},
    {"ReadZeroAnalog", {1, 4, 0, 0, 0, 0}, Message{1, 0x84, 3}},
    // The parameter block.
    {"ReadParamsBroadcast",
     {0xFF, 3, 0, 0x3F, 0, 5},
     Message{0xFF, 3, 10, 0x01, 0x00, 0x02, 0x07, 0x16, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {"ReadThreeParams",
     {1, 3, 0, 0x3F, 0, 3},
     Message{1, 3, 6, 0x01, 0x00, 0x02, 0x07, 0x16, 0x00}},
    {"ReadLastParam", {1, 3, 0, 0x43, 0, 1}, Message{1, 3, 2, 0x00, 0x00}},
    {"ReadBelowParams", {1, 3, 0, 0x3E, 0, 2}, Message{1, 0x83, 2}},
    {"ReadPastParams", {1, 3, 0, 0x43, 0, 2}, Message{1, 0x83, 2}},
    {"ReadZeroParams", {1, 3, 0, 0x3F, 0, 0}, Message{1, 0x83, 3}},
    // Relays: the reply echoes the request.
    {"RelayOn", {1, 5, 0, 0x12, 0xFF, 0x00}, Message{1, 5, 0, 0x12, 0xFF, 0x00}},
    {"RelayOff", {1, 5, 0, 0x13, 0x00, 0x00}, Message{1, 5, 0, 0x13, 0x00, 0x00}},
    {"RelayBadValue", {1, 5, 0, 0x10, 0x12, 0x34}, Message{1, 0x85, 3}},
    {"CoilBelowRelays", {1, 5, 0, 0x0F, 0xFF, 0x00}, Message{1, 0x85, 2}},
    {"CoilPastRelays", {1, 5, 0, 0x14, 0xFF, 0x00}, Message{1, 0x85, 2}},
    // Parameter writes.
    {"WriteAiPeriod", {1, 6, 0, 0x42, 0x01, 0xF4}, Message{1, 6, 0, 0x42, 0x01, 0xF4}},
    {"WriteVersion", {1, 6, 0, 0x41, 0x17, 0x00}, Message{1, 0x86, 2}},
    {"WriteBelowParams", {1, 6, 0, 0x3E, 0, 1}, Message{1, 0x86, 2}},
    {"WritePastParams", {1, 6, 0, 0x44, 0, 1}, Message{1, 0x86, 2}},
    {"WriteAddressZero", {1, 6, 0, 0x3F, 0x00, 0x00}, Message{1, 0x86, 3}},
    {"WriteAddress248", {1, 6, 0, 0x3F, 0xF8, 0x00}, Message{1, 0x86, 3}},
    {"WriteBaudIndex8", {1, 6, 0, 0x40, 0x02, 0x08}, Message{1, 0x86, 3}},
    // Functions the module does not have.
    {"DiscreteInputs", {1, 2, 0, 0, 0, 4}, Message{1, 0x82, 1}},
    {"WriteMultipleRegisters", {1, 0x10, 0, 0x3F, 0, 1}, Message{1, 0x90, 1}},
    {"DeviceIdentification", {1, 0x2B, 0x0E, 0x01, 0x00}, Message{1, 0xAB, 1}},
    // Malformed lengths of known functions.
    {"ShortRead", {1, 3, 0, 0x3F}, Message{1, 0x83, 3}},
    {"TooShortToAnswer", {1}, std::nullopt},
    // Unit filtering: only its own address and 0xFF.
    {"OtherUnit", {2, 1, 0, 0, 0, 4}, std::nullopt},
    {"UnitZero", {0, 5, 0, 0x10, 0xFF, 0x00}, std::nullopt},
    {"OtherUnitBadFunction", {9, 0x2B, 0, 0, 0, 0}, std::nullopt},
    {"BroadcastUnitEchoed", {0xFF, 1, 0, 0, 0, 4}, Message{0xFF, 1, 1, 0x05}},
};

INSTANTIATE_TEST_SUITE_P(Requests, ReplyTest, testing::ValuesIn(kReplyCases),
                         [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

TEST(ModuleModelTest, NoBroadcastUnitSilencesFF) {
    ModuleSettings settings;
    settings.answerBroadcastUnit = false;
    settings.address = 7;
    ModuleModel module(settings);
    EXPECT_EQ(module.HandleRequest(Message{0xFF, 3, 0, 0x3F, 0, 5}), std::nullopt);
    EXPECT_EQ(module.HandleRequest(Message{7, 3, 0, 0x3F, 0, 1}), (Message{7, 3, 2, 7, 0}));
}

TEST(ModuleModelTest, WritingAddressRegisterMovesTheModule) {
    ModuleModel module;
    // Address 5, upload enable 1; the reply still goes out under the old unit.
    EXPECT_EQ(module.HandleRequest(Message{1, 6, 0, 0x3F, 0x05, 0x01}),
              (Message{1, 6, 0, 0x3F, 0x05, 0x01}));
    EXPECT_EQ(module.Address(), 5);
    EXPECT_EQ(module.Params()[sim::kParamUploadEnable], 1);
    EXPECT_EQ(module.HandleRequest(Message{1, 1, 0, 0, 0, 4}), std::nullopt);
    EXPECT_EQ(module.HandleRequest(Message{5, 1, 0, 0, 0, 4}), (Message{5, 1, 1, 0}));
    EXPECT_EQ(module.HandleRequest(Message{0xFF, 3, 0, 0x3F, 0, 1}), (Message{0xFF, 3, 2, 5, 1}));
}

TEST(ModuleModelTest, DigitalInputUploadsOnlyWhenEnabledAndChanged) {
    ModuleModel module;
    EXPECT_EQ(module.SetDigitalInput(2, true), std::nullopt);  // upload disabled
    module.HandleRequest(Message{1, 6, 0, 0x40, 0x09, 0x07});  // upload address 9
    module.HandleRequest(Message{1, 6, 0, 0x3F, 0x01, 0x01});  // enable
    EXPECT_EQ(module.SetDigitalInput(2, true), std::nullopt);  // no change
    EXPECT_EQ(module.SetDigitalInput(2, false), (Message{9, 5, 0, 0x12, 0x00, 0x00}));
    EXPECT_EQ(module.SetDigitalInput(0, true), (Message{9, 5, 0, 0x10, 0xFF, 0x00}));
    EXPECT_EQ(module.SetDigitalInput(3, true), (Message{9, 5, 0, 0x13, 0xFF, 0x00}));
    module.HandleRequest(Message{1, 6, 0, 0x3F, 0x01, 0x00});  // disable again
    EXPECT_EQ(module.SetDigitalInput(3, false), std::nullopt);
    EXPECT_FALSE(module.DigitalInput(3));
}

TEST(ModuleModelTest, AnalogUploadCarriesBothInputsAndPeriods) {
    ModuleModel module = SampleModule();
    module.HandleRequest(Message{1, 6, 0, 0x42, 0x01, 0xF4});
    module.HandleRequest(Message{1, 6, 0, 0x43, 0x00, 0x64});
    module.HandleRequest(Message{1, 6, 0, 0x3F, 0x03, 0x00});
    EXPECT_EQ(module.AnalogUploadPeriodMs(0), 500);
    EXPECT_EQ(module.AnalogUploadPeriodMs(1), 100);
    EXPECT_EQ(module.AnalogUpload(), (Message{3, 4, 4, 0x02, 0x00, 0x03, 0xFF}));
}

TEST(ModuleModelTest, DescribeIsOneStableLine) {
    ModuleModel module = SampleModule();
    module.HandleRequest(Message{1, 5, 0, 0x10, 0xFF, 0x00});
    module.HandleRequest(Message{1, 6, 0, 0x43, 0xAB, 0xCD});
    EXPECT_EQ(
        module.Describe(),
        "state relays=1000 di=1010 ai=512,1023 params=01 00 02 07 16 00 00 00 AB CD address=1");
}

}  // namespace
