// Status, power, motor and Tool operations against the scripted peer.

#include "CommandTestSupport.hpp"

namespace epson::test {
namespace {

const std::string kStatusStatement =
    "$Execute,\"Print Stat(0),SysErr,EStopOn,SafetyOn,TeachOn,CtrlDev,RobotInfo(0),CtrlInfo(1)\"";

/// A link logged in to a peer that answers one query with @p reply.
struct OneQuery {
    ScriptedPeer peer;
    CellCommandLink link;
    OneQuery(const std::string& command, const std::string& reply) {
        scriptLogin(peer).exchange(command, reply);
        connectLink(link, peer);
    }
};

std::string printed(const std::string& text) {
    return "#Execute,\"" + text + "\"";
}

TEST(EmergencyStop, ReadsIntegersAndWords) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"0", false},     {"-1", true},   {"1", true},      {"7", true},
        {" True ", true}, {"TRUE", true}, {"False", false}, {" 0 ", false}};
    for (const auto& [text, expected] : cases) {
        OneQuery q("$Execute,\"Print EStopOn\"", printed(text));
        EXPECT_EQ(q.link.isEmergencyStopped(), expected) << text;
    }
}

TEST(EmergencyStop, RejectsAnythingElseQuotingTheText) {
    for (const std::string text : {"1 0", "yes", "", "0x1", "99999999999"}) {
        OneQuery q("$Execute,\"Print EStopOn\"", printed(text));
        EXPECT_TRUE(throwsWithMessage<std::runtime_error>(
            [&] { q.link.isEmergencyStopped(); },
            "Failed to parse EStopOn response as a Boolean: \"" + text + "\""));
    }
}

TEST(ControllerStatus, CommasOrBlanksGiveTheSameMap) {
    const ControllerStatus expected = {
        {"stat", 16},      {"system_error", 0},    {"emergency_stopped", 1}, {"safeguard_open", 0},
        {"teach_mode", 0}, {"control_device", 21}, {"robot_info", 3},        {"ctrl_info", 256}};
    for (const std::string text : {"0x10,0,-1,0,False,21,3,256", "0x10 0 True 0 0 21 3 256"}) {
        OneQuery q(kStatusStatement, printed(text));
        auto status = q.link.getControllerStatus();
        status["emergency_stopped"] = status["emergency_stopped"] != 0;
        EXPECT_EQ(status, expected) << text;
    }
}

TEST(ControllerStatus, WrongFieldCountOrBadFieldFails) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"1,2,3,4,5,6,7",
         "Failed to parse controller status. Expected 8 values, received 7: \"1,2,3,4,5,6,7\""},
        {"1,2,3,4,5,6,7,8,9",
         "Failed to parse controller status. Expected 8 values, received 9: "
         "\"1,2,3,4,5,6,7,8,9\""},
        {"1,2,3,4,x,6,7,8", "Failed to parse controller status value as an integer: \"x\""}};
    for (const auto& [text, message] : cases) {
        OneQuery q(kStatusStatement, printed(text));
        EXPECT_TRUE(
            throwsWithMessage<std::runtime_error>([&] { q.link.getControllerStatus(); }, message));
    }
}

TEST(PowerMode, ReadsAndMapsValues) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"0", ""},
        {"1", ""},
        {"True", ""},
        {"2", "Epson controller returned an invalid Power mode value: 2"}};
    for (const auto& [text, error] : cases) {
        OneQuery q("$Execute,\"Print Power\"", printed(text));
        if (error.empty()) {
            EXPECT_EQ(q.link.getPowerMode(),
                      text == "0" ? EpsonPowerMode::LOW : EpsonPowerMode::HIGH);
        } else {
            EXPECT_TRUE(
                throwsWithMessage<std::runtime_error>([&] { q.link.getPowerMode(); }, error));
        }
    }
}

TEST(PowerMode, SetSendsTheWordAndVerifiesByReadBack) {
    ScriptedPeer peer;
    scriptLogin(peer)
        .exchange("$Execute,\"Power High\"", "#Execute,0")
        .exchange("$Execute,\"Print Power\"", printed("1"))
        .exchange("$Execute,\"Power Low\"", "#Execute,0")
        .exchange("$Execute,\"Print Power\"", printed("0"))
        .exchange("$Execute,\"Power High\"", "#Execute,0")
        .exchange("$Execute,\"Print Power\"", printed("0"));
    CellCommandLink link;
    connectLink(link, peer);
    link.setPowerMode(EpsonPowerMode::HIGH);
    link.setPowerMode(EpsonPowerMode::LOW);
    EXPECT_TRUE(
        throwsWithMessage<std::runtime_error>([&] { link.setPowerMode(EpsonPowerMode::HIGH); },
                                              "Epson controller did not enter Power High mode"));
    EXPECT_TRUE(throwsWithMessage<std::invalid_argument>(
        [&] { link.setPowerMode(static_cast<EpsonPowerMode>(2)); }, "Unknown Epson power mode"));
    EXPECT_TRUE(peer.finish());
}

TEST(PtpLimits, ParsesTwoPositiveIntegers) {
    OneQuery ok("$Execute,\"Print AccelMax(1),AccelMax(2)\"", printed("120, 110"));
    const auto limits = ok.link.getPtpMotionLimits();
    EXPECT_EQ(limits.speed_percent, 100);
    EXPECT_EQ(limits.acceleration_percent, 120);
    EXPECT_EQ(limits.deceleration_percent, 110);
    for (const std::string text : {"120,0", "-5,10", "10.5,10", "120", "2147483648,1", "1,2,3"}) {
        OneQuery q("$Execute,\"Print AccelMax(1),AccelMax(2)\"", printed(text));
        EXPECT_TRUE(throwsWithMessage<std::runtime_error>(
            [&] { q.link.getPtpMotionLimits(); },
            "Failed to parse positive AccelMax limits from Epson controller: \"" + text + "\""));
    }
}

TEST(Motors, OnOffResetAndTheMotorOnError) {
    ScriptedPeer peer;
    scriptLogin(peer)
        .exchange("$Execute,\"Motor On\"", "!Execute,20")
        .exchange("$Execute,\"Motor On\"", "#Execute,0")
        .exchange("$Execute,\"Reset\"", "#Execute,0")
        .exchange("$Execute,\"Motor Off\"", "#Execute,0");
    CellCommandLink link;
    connectLink(link, peer);
    EXPECT_THROW(link.motorOn(), std::runtime_error);
    EXPECT_EQ(link.motorOnError(),
              "Remote command failed: !Execute,20 (command: $Execute,\"Motor On\")");
    link.motorOn();
    EXPECT_EQ(link.motorOnError(), "");
    link.resetController();
    link.motorOff();
    EXPECT_TRUE(peer.finish());
}

// The status reply's eleven flags in order, its code, and what is malformed.
TEST(RemoteStatus, FlagsInOrderAndTheCode) {
    OneQuery q("$GetStatus", "#GetStatus,10101010101,0042");
    const RemoteStatus status = q.link.getRemoteStatus();
    const std::vector<bool> flags = {status.test,          status.teach,        status.autoMode,
                                     status.warning,       status.seriousError, status.safeguard,
                                     status.emergencyStop, status.error,        status.paused,
                                     status.running,       status.ready};
    EXPECT_EQ(flags, std::vector<bool>(
                         {true, false, true, false, true, false, true, false, true, false, true}));
    EXPECT_EQ(status.code, 42);
    for (const std::string reply :
         {"#GetStatus,0010000000,0000", "#GetStatus,00100000002,0000", "#GetStatus,00100000001",
          "#GetStatus,00100000001,x", "#GetStatus,00100000001,0000,1"}) {
        OneQuery bad("$GetStatus", reply);
        EXPECT_TRUE(throwsWithMessage<std::runtime_error>(
            [&] { bad.link.getRemoteStatus(); },
            "Failed to parse GetStatus response: \"" + reply + "\""));
    }
}

TEST(TillOn, ReadsTheAgreedWordsAndNothingElse) {
    for (const auto& [text, expected] : std::vector<std::pair<std::string, bool>>{
             {"1", true}, {"-1", true}, {"True", true}, {" 0 ", false}, {"False", false}}) {
        OneQuery q("$Execute,\"Print TillOn\"", printed(text));
        EXPECT_EQ(q.link.tillOn(), expected) << text;
    }
    OneQuery q("$Execute,\"Print TillOn\"", printed("2"));
    EXPECT_TRUE(throwsWithMessage<std::runtime_error>(
        [&] { q.link.tillOn(); }, "Failed to parse TillOn response as a Boolean: \"2\""));
}

TEST(ControlCommands, WithoutAMotionAreOrdinaryCommands) {
    ScriptedPeer peer;
    scriptLogin(peer).exchange("$Pause", "#Pause,0").exchange("$Continue", "!Continue,20");
    CellCommandLink link;
    connectLink(link, peer);
    link.pause();
    EXPECT_TRUE(throwsWithMessage<std::runtime_error>(
        [&] { link.continueMotion(); },
        "Remote command failed: !Continue,20 (command: $Continue)"));
    EXPECT_TRUE(peer.finish());
}

TEST(Tools, NumberChecksComeFirstAndSendNothing) {
    CellCommandLink link;  // not connected: a check that passed would fail differently
    const std::string oneTo15 = "Tool number must be between 1 and 15";
    const std::string zeroTo15 = "Tool number must be between 0 and 15";
    EXPECT_TRUE(throwsWithMessage<std::out_of_range>([&] { link.tlSet(0, ""); }, oneTo15));
    EXPECT_TRUE(throwsWithMessage<std::out_of_range>([&] { link.tlSet(16, "P1"); }, oneTo15));
    EXPECT_TRUE(throwsWithMessage<std::out_of_range>([&] { link.tlClear(0); }, oneTo15));
    EXPECT_TRUE(throwsWithMessage<std::out_of_range>([&] { link.isToolDefined(0); }, oneTo15));
    EXPECT_TRUE(throwsWithMessage<std::out_of_range>([&] { link.getToolDefinition(0); }, oneTo15));
    EXPECT_TRUE(throwsWithMessage<std::out_of_range>([&] { link.setTool(16); }, zeroTo15));
    EXPECT_TRUE(throwsWithMessage<std::out_of_range>([&] { link.setTool(-1); }, zeroTo15));
    EXPECT_TRUE(throwsWithMessage<std::invalid_argument>([&] { link.tlSet(1, ""); },
                                                         "TLSet tool_def_point must not be empty"));
    for (const std::string point : {"XY(1,2,3,4,5,6)\"", "P1\n", "P1\r$Logout"}) {
        EXPECT_TRUE(throwsWithMessage<std::invalid_argument>(
            [&] { link.tlSet(1, point); },
            "TLSet tool_def_point must not contain quotes or line endings"));
    }
    EXPECT_TRUE(throwsWithMessage<std::invalid_argument>(
        [&] { link.tlSet(1, std::string("P1\0", 3)); },
        "TLSet tool_def_point must not contain NUL characters"));
    EXPECT_TRUE(throwsWithMessage<std::invalid_argument>(
        [&] { link.tlSet(1, std::string(10 << 20, 'P')); },
        "TLSet tool_def_point must not be longer than 16384 bytes"));
}

TEST(Tools, CommandTextsOnTheWire) {
    ScriptedPeer peer;
    scriptLogin(peer)
        .exchange("$Execute,\"TLSet 2, P10\"", "#Execute,0")
        .exchange("$Execute,\"TLSet 15, XY( 1, 2 ,3,0,0,0)\"", "#Execute,0")
        .exchange("$Execute,\"TLClr 3\"", "#Execute,0")
        .exchange("$Execute,\"Tool 0\"", "#Execute,0")
        .exchange("$Execute,\"Print Tool\"", printed("15"))
        .exchange("$Execute,\"Print TLDef(4)\"", printed("-1"))
        .exchange("$Execute,\"Print TLDef(5)\"", printed("0"));
    CellCommandLink link;
    connectLink(link, peer);
    link.tlSet(2, "P10");
    link.tlSet(15, "XY( 1, 2 ,3,0,0,0)");
    link.tlClear(3);
    link.setTool(0);
    EXPECT_EQ(link.getTool(), 15);
    EXPECT_TRUE(link.isToolDefined(4));
    EXPECT_FALSE(link.isToolDefined(5));
    EXPECT_TRUE(peer.finish());
}

TEST(Tools, InvalidSelectedToolNumberFails) {
    for (const std::string value : {"16", "-1"}) {
        OneQuery q("$Execute,\"Print Tool\"", printed(value));
        EXPECT_TRUE(throwsWithMessage<std::runtime_error>(
            [&] { q.link.getTool(); }, "Controller returned an invalid Tool number: " + value));
    }
}

TEST(Tools, DefinitionNeedsExactlySixValues) {
    const std::string query =
        "$Execute,\"Print CX(TLSet(2)),CY(TLSet(2)),CZ(TLSet(2)),CU(TLSet(2)),CV(TLSet(2)),"
        "CW(TLSet(2))\"";
    struct Case {
        std::string text;
        std::vector<double> values;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"1,2,3,4,5,6.5", {1, 2, 3, 4, 5, 6.5}, ""},
        {"1 2 3 4 5 -6e1", {1, 2, 3, 4, 5, -60}, ""},
        {"1,2,3,4,5,6 mm", {1, 2, 3, 4, 5, 6}, ""},
        {"1,2,3,4,5",
         {},
         "Failed to parse TLSet definition. Expected 6 values, received 5: \"1,2,3,4,5\""},
        {"1,2,3,4,5,6,7",
         {},
         "Failed to parse TLSet definition. Expected 6 values, received 7: \"1,2,3,4,5,6,7\""}};
    for (const auto& c : cases) {
        ScriptedPeer peer;
        scriptLogin(peer)
            .exchange("$Execute,\"Print TLDef(2)\"", printed("True"))
            .exchange(query, printed(c.text));
        CellCommandLink link;
        connectLink(link, peer);
        if (c.error.empty()) {
            EXPECT_EQ(link.getToolDefinition(2), c.values) << c.text;
        } else {
            EXPECT_TRUE(
                throwsWithMessage<std::runtime_error>([&] { link.getToolDefinition(2); }, c.error));
        }
    }
}

TEST(Tools, UndefinedSlotSendsOnlyTheDefinedQuery) {
    ScriptedPeer peer;
    scriptLogin(peer).exchange("$Execute,\"Print TLDef(3)\"", printed("0")).expectSilence(200ms);
    CellCommandLink link;
    connectLink(link, peer);
    EXPECT_TRUE(throwsWithMessage<std::runtime_error>([&] { link.getToolDefinition(3); },
                                                      "Tool 3 is not defined"));
    EXPECT_TRUE(peer.finish());
}

}  // namespace
}  // namespace epson::test
