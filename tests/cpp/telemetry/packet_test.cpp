// Packet rules of the telemetry parser, table-driven: each case feeds packets in order to a
// fresh receiver and states what each one publishes.

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ReceiverImpl.hpp"

namespace epson {
namespace {

enum class Outcome { kNothing, kNewSample, kNewStatus, kNotANumber, kOutOfRange };

std::ostream& operator<<(std::ostream& out, Outcome outcome) {
    static constexpr std::array<const char*, 5> kNames{"nothing", "sample", "status",
                                                       "invalid_argument", "out_of_range"};
    return out << kNames[static_cast<std::size_t>(outcome)];
}

struct Step {
    std::string packet;
    Outcome outcome;
};

struct ParseCase {
    std::string name;
    std::vector<Step> steps;
    std::optional<TelemetrySample> sample;   // the sample current after the last step
    std::optional<ControllerStatus> status;  // the status current after the last step
};

TelemetrySample sample(std::array<double, 6> joints, std::array<double, 6> pose) {
    TelemetrySample result;
    result.joints = joints;
    result.tcpPose = pose;
    return result;
}

ControllerStatus status(std::int64_t stat, std::int64_t systemError, std::int64_t controlDevice,
                        std::int64_t robotInfo, std::int64_t ctrlInfo,
                        std::int64_t emergencyStopped, std::int64_t safeguardOpen,
                        std::int64_t teachMode) {
    return {{"stat", stat},
            {"system_error", systemError},
            {"control_device", controlDevice},
            {"robot_info", robotInfo},
            {"ctrl_info", ctrlInfo},
            {"emergency_stopped", emergencyStopped},
            {"safeguard_open", safeguardOpen},
            {"teach_mode", teachMode}};
}

const std::string kPose = "X=400;Y=0;Z=600;U=0;V=90;W=0";
const std::string kJoints = "J1agl=0;J2agl=10;J3agl=-20;J4agl=0;J5agl=100;J6agl=0";
const TelemetrySample kExample = sample({0, 10, -20, 0, 100, 0}, {400, 0, 600, 0, 90, 0});
const std::string kStatus = "STAT=524288;SYSERR=0;CTRLDEV=21;ROBOTINFO=0;CTRLINFO=256";
const ControllerStatus kExampleStatus = status(524288, 0, 21, 0, 256, 1, 0, 1);

/// Many fields the parser does not know, as one packet's text.
std::string extraKeys(int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += "K" + std::to_string(i) + "=1;";
    }
    return text;
}

std::vector<ParseCase> parseCases() {
    using enum Outcome;
    return {
        {"OnePacketPublishesOnce",
         {{kPose + ";" + kJoints, kNewSample}, {"", kNothing}, {";;", kNothing}},
         kExample,
         std::nullopt},
        {"PoseThenJointsCompletes",
         {{kPose, kNothing}, {kJoints, kNewSample}},
         kExample,
         std::nullopt},
        {"XRestartsTheSample",
         {{kJoints, kNothing}, {kPose, kNothing}, {kJoints, kNewSample}},
         kExample,
         std::nullopt},
        {"FieldsCollectedAcrossPackets",
         {{"X=1;Y=2;Z=3", kNothing},
          {"U=4;V=5;W=6;J1agl=7;J2agl=8", kNothing},
          {"J3agl=9;J4agl=10;J5agl=11;J6agl=12", kNewSample}},
         sample({7, 8, 9, 10, 11, 12}, {1, 2, 3, 4, 5, 6}),
         std::nullopt},
        {"XDropsFieldsCollectedBeforeIt",
         {{"X=1;Y=2;Z=3;U=4;V=5;W=6;J1agl=7;J2agl=8;J3agl=9", kNothing},
          {"X=9", kNothing},
          {"J4agl=10;J5agl=11;J6agl=12", kNothing},
          {"Y=20;Z=30;U=40;V=50;W=60;J1agl=70;J2agl=80;J3agl=90", kNewSample}},
         sample({70, 80, 90, 10, 11, 12}, {9, 20, 30, 40, 50, 60}),
         std::nullopt},
        {"WhiteSpaceInsideKeysIsDropped",
         {{"\n X =1; Y\t=2;Z\v=3;\fU=4;V\r=5;W=6;J1 agl=7;J 2agl=8;J3agl=9;J4agl=10;J5agl=11;"
           "J6agl =12",
           kNewSample}},
         sample({7, 8, 9, 10, 11, 12}, {1, 2, 3, 4, 5, 6}),
         std::nullopt},
        {"LineFeedAfterCarriageReturnStartsNextPacket",
         {{kPose, kNothing}, {"\n" + kJoints, kNewSample}},
         kExample,
         std::nullopt},
        {"ValueReadUpToFirstNonNumberCharacter",
         {{"X=1.5mm;Y= 2;Z=3e2;U=-4.25deg;V=+5;W=6;" + kJoints, kNewSample}},
         sample({0, 10, -20, 0, 100, 0}, {1.5, 2, 300, -4.25, 5, 6}),
         std::nullopt},
        {"FieldsWithoutKeyOrEqualsAreSkipped",
         {{"=5;junk;" + kPose + ";; =abc;" + kJoints + ";trailing", kNewSample}},
         kExample,
         std::nullopt},
        {"RepeatedKeyKeepsLastValue",
         {{"X=1;" + kPose + ";" + kJoints + ";J6agl=13", kNewSample}},
         sample({0, 10, -20, 0, 100, 13}, {400, 0, 600, 0, 90, 0}),
         std::nullopt},
        {"UnknownKeysNeverReachResults",
         {{"Speed=50;" + kPose + ";Torque=1", kNothing}, {kJoints + ";Mode=2", kNewSample}},
         kExample,
         std::nullopt},
        {"BadValueFailsWholePacket",
         {{kPose, kNothing},
          {kJoints + ";Note=abc", kNotANumber},
          {"X=", kNotANumber},
          {"X=abc;" + kJoints, kNotANumber},
          {"X=1e-400", kOutOfRange},
          {"J1agl=1e999", kOutOfRange},
          // Not finite: fails like an overflow, never a pose in the sample.
          {"X=inf;" + kJoints, kOutOfRange},
          {kPose + ";J2agl=nan", kOutOfRange},
          {"W=-Infinity", kOutOfRange},
          {kStatus + ";Mode=auto", kNotANumber}},
         std::nullopt,
         std::nullopt},
        {"StatusExampleWithDerivedBits", {{kStatus, kNewStatus}}, std::nullopt, kExampleStatus},
        {"StatusTruncatesTowardZero",
         {{"STAT=3.9;SYSERR=-1.5;CTRLDEV=21.99;ROBOTINFO=-0.5;CTRLINFO=512.7", kNewStatus}},
         std::nullopt,
         status(3, -1, 21, 0, 512, 0, 1, 0)},
        {"StatusBitsBelowTheFlagsAreNotFlags",
         {{"STAT=524287;SYSERR=7;CTRLDEV=22;ROBOTINFO=5;CTRLINFO=255", kNewStatus}},
         std::nullopt,
         status(524287, 7, 22, 5, 255, 0, 0, 0)},
        {"StatusBitsAboveTheFlagsAreNotFlags",
         {{"STAT=1048576;SYSERR=0;CTRLDEV=21;ROBOTINFO=0;CTRLINFO=1024", kNewStatus}},
         std::nullopt,
         status(1048576, 0, 21, 0, 1024, 0, 0, 0)},
        {"StatusNegativeWordsSetEveryFlag",
         {{"STAT=-1;SYSERR=-2;CTRLDEV=21;ROBOTINFO=0;CTRLINFO=-1", kNewStatus}},
         std::nullopt,
         status(-1, -2, 21, 0, -1, 1, 1, 1)},
        {"StatusAtTheInt64Limits",
         {{"STAT=-9223372036854775808;SYSERR=9223372036854774784;CTRLDEV=0;ROBOTINFO=0;"
           "CTRLINFO=0",
           kNewStatus}},
         std::nullopt,
         status(std::numeric_limits<std::int64_t>::min(), 9223372036854774784, 0, 0, 0, 0, 0, 0)},
        {"IncompleteStatusKeepsThePreviousOne",
         {{kStatus, kNewStatus}, {"STAT=1;SYSERR=0;CTRLDEV=21;ROBOTINFO=0", kNothing}},
         std::nullopt,
         kExampleStatus},
        // A status word beyond int64 fails the packet as a number beyond double does.
        {"UnconvertibleStatusFailsThePacket",
         {{kStatus, kNewStatus},
          {kPose, kNothing},
          {"STAT=nan;SYSERR=0;CTRLDEV=21;ROBOTINFO=0;CTRLINFO=0", kOutOfRange},
          {"STAT=inf;SYSERR=0;CTRLDEV=21;ROBOTINFO=0;CTRLINFO=0", kOutOfRange},
          {"STAT=1;SYSERR=0;CTRLDEV=21;ROBOTINFO=0;CTRLINFO=-1e19", kOutOfRange},
          // Rounds to 2^63, one past the largest int64.
          {"STAT=9223372036854775807;SYSERR=0;CTRLDEV=21;ROBOTINFO=0;CTRLINFO=0", kOutOfRange},
          {kJoints, kNewSample}},
         kExample,
         kExampleStatus},
        // The bound on collected fields limits what waits across packets, never a packet that
        // completes a sample.
        {"CompleteSampleAmidManyUnknownKeys",
         {{extraKeys(300) + kPose + ";" + kJoints, kNewSample},
          {kPose + ";" + extraKeys(300), kNothing},
          {kJoints, kNothing},
          {kPose, kNothing},
          {extraKeys(100) + kJoints, kNewSample}},
         kExample,
         std::nullopt},
        {"StatusPacketNeverFeedsTheSample",
         {{kPose, kNothing},
          {kStatus + ";X=1;Y=2;Z=3;U=4;V=5;W=6;J1agl=7;J2agl=8;J3agl=9;J4agl=10;J5agl=11;"
                     "J6agl=12",
           kNewStatus},
          {kJoints, kNewSample}},
         kExample,
         kExampleStatus},
    };
}

void PrintTo(const ParseCase& parseCase, std::ostream* out) {
    *out << parseCase.name;
}

class PacketRules : public ::testing::TestWithParam<ParseCase> {};

TEST_P(PacketRules, PublishAsStated) {
    const ParseCase& parseCase = GetParam();
    EthernetReceiveInterface::Impl receiver;
    for (std::size_t i = 0; i < parseCase.steps.size(); ++i) {
        const Step& step = parseCase.steps[i];
        SCOPED_TRACE("step " + std::to_string(i + 1));
        // Cleared so that each step shows what it published itself; the values stay.
        receiver.hasSample_ = false;
        receiver.hasStatus_ = false;
        Outcome outcome = Outcome::kNothing;
        try {
            receiver.parsePacket_(step.packet);
            if (receiver.hasSample_ && receiver.hasStatus_) {
                ADD_FAILURE() << "one packet published both a sample and a status";
            } else if (receiver.hasSample_) {
                outcome = Outcome::kNewSample;
            } else if (receiver.hasStatus_) {
                outcome = Outcome::kNewStatus;
            }
        } catch (const std::invalid_argument& error) {
            EXPECT_STREQ(error.what(), "stod");
            outcome = Outcome::kNotANumber;
        } catch (const std::out_of_range& error) {
            EXPECT_STREQ(error.what(), "stod");
            outcome = Outcome::kOutOfRange;
        }
        EXPECT_EQ(outcome, step.outcome);
    }
    if (parseCase.sample) {
        EXPECT_EQ(receiver.sample_.joints, parseCase.sample->joints);
        EXPECT_EQ(receiver.sample_.tcpPose, parseCase.sample->tcpPose);
    }
    if (parseCase.status) {
        EXPECT_EQ(receiver.status_, *parseCase.status);
    }
}

TEST(PacketMemory, EndlessNewKeysWithoutASampleStayBounded) {
    EthernetReceiveInterface::Impl receiver;
    receiver.parsePacket_("J1agl=1;J2agl=2;J3agl=3;J4agl=4;J5agl=5;J6agl=6");
    for (int i = 0; i < 10000; ++i) {
        receiver.parsePacket_("K" + std::to_string(i) + "=1");
        ASSERT_LE(receiver.partialFields_.size(), kMaxPartialFields);
    }
    // The flood cost the collected joints: this pose alone does not complete a sample.
    receiver.parsePacket_("Y=0;Z=600;U=0;V=90;W=0");
    EXPECT_FALSE(receiver.hasSample_);
    receiver.parsePacket_(
        "X=400;Y=0;Z=600;U=0;V=90;W=0;J1agl=0;J2agl=10;J3agl=-20;J4agl=0;"
        "J5agl=100;J6agl=0");
    EXPECT_TRUE(receiver.hasSample_);
}

INSTANTIATE_TEST_SUITE_P(Telemetry, PacketRules, ::testing::ValuesIn(parseCases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace epson
