// TCP offset, robot state, inverse kinematics and the workspace box against the scripted peer.

#include <cmath>
#include <limits>
#include <locale>
#include <thread>

#include "CommandTestSupport.hpp"
#include "QuietStdout.hpp"
#include "spel_text.hpp"

namespace epson::test {
namespace {

using std::chrono::milliseconds;
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

std::string printed(const std::string& text) {
    return "#Execute,\"" + text + "\"";
}

std::string toolQuery(int n) {
    const std::string s = std::to_string(n);
    return "$Execute,\"Print CX(TLSet(" + s + ")),CY(TLSet(" + s + ")),CZ(TLSet(" + s +
           ")),CU(TLSet(" + s + ")),CV(TLSet(" + s + ")),CW(TLSet(" + s + "))\"";
}

/// The controller answers the read of a defined Tool slot.
ScriptedPeer& definedTool(ScriptedPeer& peer, int n, const std::string& values) {
    return peer.exchange("$Execute,\"Print TLDef(" + std::to_string(n) + ")\"", printed("1"))
        .exchange(toolQuery(n), printed(values));
}

/// A first setTcpOffset() over an undefined slot 15, with Tool @p tool selected before:
/// @p point is written, selected and read back as @p readBack.
ScriptedPeer& firstOffsetOverUndefinedSlot(ScriptedPeer& peer, int tool, const std::string& point,
                                           const std::string& readBack) {
    peer.exchange("$Execute,\"Print Tool\"", printed(std::to_string(tool)))
        .exchange("$Execute,\"Print TLDef(15)\"", printed("0"))
        .exchange("$Execute,\"TLSet 15, XY(" + point + ")\"", "#Execute,0")
        .exchange("$Execute,\"Tool 15\"", "#Execute,0");
    return definedTool(peer, 15, readBack);
}

/// The restore of that state: slot 15 cleared, Tool @p tool selected again.
ScriptedPeer& restoreOverUndefinedSlot(ScriptedPeer& peer, int tool) {
    return peer.exchange("$Execute,\"Print TLDef(15)\"", printed("1"))
        .exchange("$Execute,\"TLClr 15\"", "#Execute,0")
        .exchange("$Execute,\"Tool " + std::to_string(tool) + "\"", "#Execute,0");
}

TEST(TcpOffset, FlangeReadsAsZerosAfterOneQuery) {
    ScriptedPeer peer;
    scriptLogin(peer).exchange("$Execute,\"Print Tool\"", printed("0")).expectSilence(200ms);
    CellCommandLink link;
    connectLink(link, peer);
    EXPECT_EQ(link.getTcpOffset(), std::vector<double>(6, 0.0));
    EXPECT_TRUE(peer.finish());
}

TEST(TcpOffset, SelectedToolIsConvertedToVeltrixUnits) {
    ScriptedPeer peer;
    scriptLogin(peer).exchange("$Execute,\"Print Tool\"", printed("15"));
    definedTool(peer, 15, "100,0,50,90,0,180");
    CellCommandLink link;
    connectLink(link, peer);
    const auto pose = link.getTcpOffset();
    const std::vector<double> expected = {0.1, 0, 0.05, 180, 0, 90};
    ASSERT_EQ(pose.size(), 6u);
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_DOUBLE_EQ(pose[i], expected[i]) << i;
    }
}

TEST(TcpOffset, BadPosesAreRefusedWithoutSendingOrSaving) {
    CellCommandLink::Impl impl;  // not connected: anything sent would fail differently
    const std::vector<std::pair<std::vector<double>, std::string>> cases = {
        {{0, 0, 0, 0, 0}, "TCP offset must contain exactly 6 values"},
        {{0, 0, 0, 0, 0, 0, 0}, "TCP offset must contain exactly 6 values"},
        {{0, 0, kNaN, 0, 0, 0}, "TCP offset values must be finite"},
        {{0, 0, 0, 0, 0, -kInf}, "TCP offset values must be finite"}};
    for (const auto& [pose, message] : cases) {
        EXPECT_TRUE(
            throwsWithMessage<std::invalid_argument>([&] { impl.setTcpOffset(pose); }, message));
        EXPECT_FALSE(impl.tcpOverrideActive_);
    }
}

TEST(TcpOffset, FirstSetSavesTwoSetsRestoreTheOriginalState) {
    ScriptedPeer peer;
    // Saving asks whether the slot is defined, then reads it (which asks again).
    scriptLogin(peer)
        .exchange("$Execute,\"Print Tool\"", printed("2"))
        .exchange("$Execute,\"Print TLDef(15)\"", printed("-1"));
    definedTool(peer, 15, "1,2,3,4,5,6")
        .exchange("$Execute,\"TLSet 15, XY(0,0,100,0,0,0)\"", "#Execute,0")
        .exchange("$Execute,\"Tool 15\"", "#Execute,0");
    definedTool(peer, 15, "0,0,100,0,0,0").exchange("$Execute,\"Print Tool\"", printed("15"));
    // The second call overwrites the slot but saves nothing.
    peer.exchange("$Execute,\"TLSet 15, XY(10,-20,300,30,20,10)\"", "#Execute,0")
        .exchange("$Execute,\"Tool 15\"", "#Execute,0");
    definedTool(peer, 15, "10.00005,-20,300,30,20,10.0001")
        .exchange("$Execute,\"Print Tool\"", printed("15"));
    // The restore writes back what the first call saved.
    peer.exchange("$Execute,\"TLSet 15, XY(1,2,3,4,5,6)\"", "#Execute,0")
        .exchange("$Execute,\"Tool 2\"", "#Execute,0")
        .expectSilence(200ms);
    CellCommandLink link;
    connectLink(link, peer);
    link.setTcpOffset({0, 0, 0.1, 0, 0, 0});
    link.setTcpOffset({0.01, -0.02, 0.3, 10, 20, 30});
    link.restoreTcpOffset();
    link.restoreTcpOffset();  // nothing left to restore: sends nothing
    EXPECT_TRUE(peer.finish());
}

TEST(TcpOffset, UndefinedSlotIsClearedOnRestore) {
    ScriptedPeer peer;
    firstOffsetOverUndefinedSlot(scriptLogin(peer), 0, "1,2,3,0,0,0", "1,2,3,0,0,0")
        .exchange("$Execute,\"Print Tool\"", printed("15"));
    restoreOverUndefinedSlot(peer, 0);
    CellCommandLink link;
    connectLink(link, peer);
    link.setTcpOffset({0.001, 0.002, 0.003, 0, 0, 0});
    link.restoreTcpOffset();
    EXPECT_TRUE(peer.finish());
}

TEST(TcpOffset, VerificationMismatchFailsAndRestoreStillWorks) {
    ScriptedPeer peer;
    firstOffsetOverUndefinedSlot(scriptLogin(peer), 1, "0,0,100,0,0,0", "0,0,100.0002,0,0,0");
    restoreOverUndefinedSlot(peer, 1);
    CellCommandLink link;
    connectLink(link, peer);
    EXPECT_TRUE(throwsWithMessage<std::runtime_error>(
        [&] {
            link.setTcpOffset({0, 0, 0.1, 0, 0, 0});
        },
        "Failed to verify the Epson controller TCP offset"));
    link.restoreTcpOffset();
    EXPECT_TRUE(peer.finish());
}

TEST(TcpOffset, DisconnectRestoresBeforeMotorOffAndLogout) {
    ScriptedPeer peer;
    scriptLogin(peer).exchange("$Execute,\"Motor On\"", "#Execute,0");
    firstOffsetOverUndefinedSlot(peer, 3, "0,0,50,0,0,0", "0,0,50,0,0,0")
        .exchange("$Execute,\"Print Tool\"", printed("15"));
    restoreOverUndefinedSlot(peer, 3)
        .exchange("$Execute,\"Motor Off\"", "#Execute,0")
        .exchange("$Logout", "#Logout,0")
        .expectClosed();
    CellCommandLink link;
    connectLink(link, peer);
    link.motorOn();
    link.setTcpOffset({0, 0, 0.05, 0, 0, 0});
    ::testing::internal::CaptureStdout();
    link.disconnect();
    ::testing::internal::GetCapturedStdout();
    EXPECT_TRUE(peer.finish());
}

TEST(TcpOffset, ARestoreThatFailsInDisconnectIsStillOwedOnTheNextConnection) {
    ScriptedPeer peer;
    firstOffsetOverUndefinedSlot(scriptLogin(peer), 3, "0,0,50,0,0,0", "0,0,50,0,0,0")
        .exchange("$Execute,\"Print Tool\"", printed("15"))
        .exchange("$Execute,\"Print TLDef(15)\"", "!Execute,20")
        .exchange("$Logout", "#Logout,0")
        .expectClosed()
        .acceptNext();
    restoreOverUndefinedSlot(scriptLogin(peer), 3).expectSilence(200ms);
    CellCommandLink link;
    connectLink(link, peer);
    link.setTcpOffset({0, 0, 0.05, 0, 0, 0});
    QuietStdout quiet;
    ::testing::internal::CaptureStderr();
    link.disconnect();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Failed to restore Epson TCP state: Remote command failed: !Execute,20 (command: "
              "$Execute,\"Print TLDef(15)\")\n");
    link.connect("127.0.0.1", peer.port(), "");
    link.restoreTcpOffset();
    EXPECT_TRUE(peer.finish());
}

const std::string kStateQuery =
    "$Execute,\"Print Agl(1),Agl(2),Agl(3),Agl(4),Agl(5),Agl(6),CX(Here),CY(Here),CZ(Here),"
    "CU(Here),CV(Here),CW(Here)\"";

TEST(RobotState, NeedsExactlyTwelveValues) {
    ScriptedPeer peer;
    scriptLogin(peer)
        .exchange(kStateQuery, printed("1,2,3,4,5,6,400,0,600,0,90,0"))
        .exchange(kStateQuery, printed("1,2,3,4,5,6,400,0,600,0,90"))
        .exchange(kStateQuery, printed("1 2 3 4 5 6 400 0 600 0 90 0 7"));
    CellCommandLink link;
    connectLink(link, peer);
    EXPECT_EQ(link.getState(), (std::vector<double>{1, 2, 3, 4, 5, 6, 400, 0, 600, 0, 90, 0}));
    EXPECT_TRUE(throwsWithMessage<std::runtime_error>(
        [&] { link.getState(); },
        "Failed to parse robot state. Expected 12 values, received 11: "
        "\"1,2,3,4,5,6,400,0,600,0,90\""));
    EXPECT_TRUE(throwsWithMessage<std::runtime_error>(
        [&] { link.getState(); },
        "Failed to parse robot state. Expected 12 values, received 13: "
        "\"1 2 3 4 5 6 400 0 600 0 90 0 7\""));
}

TEST(RobotState, FailsAtOnceDuringAMotionAndAfter250msBehindACommand) {
    CellCommandLink::Impl impl;
    impl.motionInProgress_ = true;
    auto elapsed = timed([&] {
        EXPECT_TRUE(throwsWithMessage<std::runtime_error>(
            [&] { impl.getState(); },
            "getState() skipped: a motion command is in progress and holds the connection "
            "until the move completes"));
    });
    EXPECT_LT(elapsed, milliseconds(50));
    impl.motionInProgress_ = false;

    std::unique_lock held(impl.commandMutex_);
    elapsed = timed([&] {
        EXPECT_TRUE(throwsWithMessage<std::runtime_error>(
            [&] { impl.getState(); }, "getState() timed out waiting for the connection"));
    });
    EXPECT_GE(elapsed, milliseconds(240));
    EXPECT_LT(elapsed, milliseconds(1000));
}

std::string ikQuery(const std::string& target, int joint) {
    return "$Execute,\"Print PAgl(" + target + "," + std::to_string(joint) + ")\"";
}

TEST(InverseKinematics, SendsSixQueriesWithTheTargetText) {
    struct Case {
        bool ljm;
        std::optional<std::vector<double>> reference;
        std::string target;
    };
    const std::vector<Case> cases = {
        {false, std::nullopt, "XY(100,200,300,0,90.5,0.10000000000000001)"},
        {true, std::nullopt, "LJM(XY(100,200,300,0,90.5,0.10000000000000001),Here)"},
        {true, std::vector<double>(6, 0.0),
         "LJM(XY(100,200,300,0,90.5,0.10000000000000001),AglToPls(0,0,0,0,0,0))"}};
    for (const auto& c : cases) {
        ScriptedPeer peer;
        scriptLogin(peer);
        for (int joint = 1; joint <= 6; ++joint) {
            peer.exchange(ikQuery(c.target, joint), printed(std::to_string(joint * 10) + ".5"));
        }
        CellCommandLink link;
        connectLink(link, peer);
        EXPECT_EQ(link.inverseKinematics({100, 200, 300, 0, 90.5, 0.1}, c.ljm, c.reference),
                  (std::vector<double>{10.5, 20.5, 30.5, 40.5, 50.5, 60.5}));
        EXPECT_TRUE(peer.finish()) << c.target;
    }
}

TEST(InverseKinematics, ArgumentChecksInOrder) {
    CellCommandLink link;
    const std::vector<double> pose = {1, 2, 3, 4, 5, 6};
    const auto bad = [&](const std::vector<double>& p, bool ljm,
                         std::optional<std::vector<double>> ref, const std::string& message) {
        EXPECT_TRUE(throwsWithMessage<std::invalid_argument>(
            [&] { link.inverseKinematics(p, ljm, ref); }, message));
    };
    bad({1, 2, 3, 4, 5}, false, pose,
        "cartesian_pose must contain exactly 6 values [X, Y, Z, U, V, W]");
    bad({1, 2, kNaN, 4, 5, 6}, false, pose, "cartesian_pose must contain only finite values");
    bad(pose, false, pose, "reference_joint_positions requires least_joint_motion");
    bad(pose, true, std::vector<double>{1, 2},
        "reference_joint_positions must contain exactly 6 values");
    bad(pose, true, std::vector<double>{1, 2, 3, 4, 5, kInf},
        "reference_joint_positions must contain only finite values");
}

TEST(InverseKinematics, ParseAndControllerFailuresNameTheJoint) {
    const std::string target = "LJM(XY(1,2,3,4,5,6),Here)";
    ScriptedPeer peer;
    scriptLogin(peer)
        .exchange(ikQuery(target, 1), printed("12.5 deg"))
        .exchange(ikQuery(target, 1), printed("1"))
        .exchange(ikQuery(target, 2), printed("2"))
        .exchange(ikQuery(target, 3), "!Execute,15");
    CellCommandLink link;
    connectLink(link, peer);
    EXPECT_TRUE(throwsWithMessage<std::runtime_error>(
        [&] {
            link.inverseKinematics({1, 2, 3, 4, 5, 6}, true, std::nullopt);
        },
        "Failed to parse Epson controller IK response for joint 1: \"12.5 deg\""));
    EXPECT_TRUE(throwsWithMessage<std::runtime_error>(
        [&] {
            link.inverseKinematics({1, 2, 3, 4, 5, 6}, true, std::nullopt);
        },
        "Epson controller IK query failed for joint 3 (Print PAgl(" + target +
            ",3)): Remote command failed: !Execute,15 (command: $Execute,\"Print PAgl(" + target +
            ",3)\")"));
}

const std::string kBoundsQuery =
    "$Execute,\"Print CX(XYLim(1)),CX(XYLim(2)),CY(XYLim(1)),CY(XYLim(2)),CZ(XYLim(1)),"
    "CZ(XYLim(2))\"";

TEST(Workspace, WritesModeThenBoxAndVerifiesBoth) {
    struct Case {
        std::string mode;
        std::string bounds;
        std::string error;  // empty: success
    };
    const std::string box = "-300,500.5,-400,400,0,0.10000000000000001";
    const std::vector<Case> cases = {
        {"1", "-300,500.5,-400,400,0,0.1", ""},
        {"1 ", "-300.005 500.505 -400 400 0.005 0.095", ""},
        {"1.0", "", "Epson controller did not verify XYLIM_STRICT: \"1.0\""},
        {"01x", "", "Epson controller did not verify XYLIM_STRICT: \"01x\""},
        {"2", "", "Epson controller did not verify XYLIM_STRICT: \"2\""},
        {"1", "-300,500.5,-400,400,0,0.2",
         "Epson controller did not verify XYLim bounds: \"-300,500.5,-400,400,0,0.2\""},
        {"1", "-300,500.5,-400,400,0",
         "Epson controller did not verify XYLim bounds: \"-300,500.5,-400,400,0\""},
        {"1", "-300,500.5,-400,400,0,0.1,7",
         "Epson controller returned extra XYLim bounds: \"-300,500.5,-400,400,0,0.1,7\""}};
    for (const auto& c : cases) {
        ScriptedPeer peer;
        scriptLogin(peer)
            .exchange("$Execute,\"XYLimMode 1\"", "#Execute,0")
            .exchange("$Execute,\"XYLim " + box + "\"", "#Execute,0")
            .exchange("$Execute,\"Print XYLimMode\"", printed(c.mode));
        if (!c.bounds.empty()) {
            peer.exchange(kBoundsQuery, printed(c.bounds));
        }
        CellCommandLink link;
        connectLink(link, peer);
        const auto call = [&] { link.addSafetyCuboid({-300, -400, 0}, {500.5, 400, 0.1}); };
        if (c.error.empty()) {
            EXPECT_NO_THROW(call()) << c.mode << " / " << c.bounds;
        } else {
            EXPECT_TRUE(throwsWithMessage<std::runtime_error>(call, c.error));
        }
        EXPECT_TRUE(peer.finish());
    }
}

TEST(Workspace, BadCornersAreRefusedWithoutTakingTheLock) {
    CellCommandLink::Impl impl;
    std::unique_lock held(impl.commandMutex_);  // a refused call must not wait for it
    const std::string size = "Safety cuboid corners must each have 3 coordinates";
    const std::string order =
        "Safety cuboid corners must be finite and strictly ordered on every axis";
    const std::vector<std::tuple<std::vector<double>, std::vector<double>, std::string>> cases = {
        {{0, 0}, {1, 1, 1}, size},        {{0, 0, 0}, {1, 1, 1, 1}, size},
        {{0, 0, 0}, {1, 0, 1}, order},    {{2, 0, 0}, {1, 1, 1}, order},
        {{0, 0, kNaN}, {1, 1, 1}, order}, {{0, 0, 0}, {1, kInf, 1}, order}};
    for (const auto& [low, high, message] : cases) {
        EXPECT_TRUE(throwsWithMessage<std::invalid_argument>(
            [&] { impl.addSafetyCuboid(low, high); }, message));
    }
}

/// A numeric punctuation that writes and reads a decimal comma.
struct CommaDecimal : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
    char do_thousands_sep() const override { return '.'; }
    std::string do_grouping() const override { return "\3"; }
};

TEST(SpelText, NumbersIgnoreTheGlobalLocale) {
    const std::locale previous =
        std::locale::global(std::locale(std::locale::classic(), new CommaDecimal));
    EXPECT_EQ(spel::formatGeneral(1234.5, 15), "1234.5");
    EXPECT_EQ(spel::formatFixed(100.5, 17), "100.50000000000000000");
    EXPECT_EQ(spel::formatFixed(0.1, 17), "0.10000000000000001");
    EXPECT_EQ(spel::formatFixed(4e-18, 17), "0.00000000000000000");
    EXPECT_EQ(spel::joinGeneral({0.1, 100, 1e-5, 1e15}, 17),
              "0.10000000000000001,100,1.0000000000000001e-05,1000000000000000");
    EXPECT_EQ(spel::joinGeneral({10, -20, 300, 1e-5, 123456789012345678.0}, 15),
              "10,-20,300,1e-05,1.23456789012346e+17");
    EXPECT_EQ(spel::readDoubles("1.5,2000 3e2"), (std::vector<double>{1.5, 2000, 300}));
    std::locale::global(previous);
}

}  // namespace
}  // namespace epson::test
