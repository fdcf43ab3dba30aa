// The station: opening both links as a unit, clean-up order on failure, the combined report.

#include "CommandTestSupport.hpp"
#include "DisconnectReport.hpp"
#include "QuietStdout.hpp"
#include "TelemetryPeer.hpp"
#include "epson/CellStation.hpp"

namespace epson::test {
namespace {

const std::array<double, 6> kJoints = {0, 10, -20, 0, 100, 0};
const std::array<double, 6> kPose = {400, 0, 600, 0, 90, 0};

/// The station logs in with its own credential, whatever it is; this script accepts it.
ScriptedPeer& scriptStationLogin(ScriptedPeer& peer) {
    return peer.expect("$Login,").expect("742\r\n").sendLine("#Login,0");
}

TEST(Station, OpensCommandLinkThenTelemetryAndClosesTelemetryFirst) {
    ScriptedPeer command;
    // The logout is answered only once the telemetry connection is gone: a station that closed
    // the command link first would wait here until the gate gives up.
    scriptStationLogin(command)
        .gate("telemetry closed")
        .exchange("$Logout", "#Logout,0")
        .expectClosed();
    TelemetryPeer telemetry;
    telemetry.setGreeting({telemetrySamplePacket(kJoints, kPose)});
    command.start();
    std::thread opener([&] {
        if (telemetry.waitForRemoteCloses(1, 10s)) {
            command.openGate("telemetry closed");
        }
    });
    {
        QuietStdout quiet;
        CellStation station("127.0.0.1", command.port(), telemetry.port());
        EXPECT_TRUE(station.isConnected());
        const auto control = station.getControlInterface();
        EXPECT_TRUE(control->isLoggedIn());
        EXPECT_EQ(station.getReceiveInterface()->getSample().joints, kJoints);
        station.disconnect();
        EXPECT_FALSE(station.isConnected());
        EXPECT_TRUE(telemetry.waitForRemoteCloses(1, 2s));
        station.disconnect();  // repeated: nothing to report
    }                          // the destructor disconnects both once more, silently
    opener.join();
    EXPECT_TRUE(command.finish());
}

TEST(Station, TelemetryRefusalClosesTheLoggedInCommandLinkFirst) {
    ScriptedPeer command;
    scriptStationLogin(command).exchange("$Logout", "#Logout,0").expectClosed();
    RefusingPort telemetry;
    command.start();
    std::string error;
    bool loggedOutBeforeTheError = false;
    {
        QuietStdout quiet;
        try {
            CellStation station("127.0.0.1", command.port(), telemetry.port());
        } catch (const std::runtime_error& failure) {
            error = failure.what();
            // The logout is a full exchange, so the peer has it if it happened before the throw.
            loggedOutBeforeTheError = command.received().find("$Logout\r\n") != std::string::npos;
        }
    }
    EXPECT_EQ(error.rfind("Failed to connect to Epson telemetry at ", 0), 0u) << error;
    EXPECT_TRUE(loggedOutBeforeTheError);
    // finish() waits, within its deadline, for the peer to see the socket close.
    EXPECT_TRUE(command.finish());
}

TEST(Station, CommandLinkFailurePassesThroughUnchanged) {
    ScriptedPeer command;
    command.expect("$Login,742\r\n").sendLine("!Login,13").expectClosed();
    TelemetryPeer telemetry;
    command.start();
    EXPECT_TRUE(throwsWithMessage<std::runtime_error>(
        [&] { CellStation("127.0.0.1", command.port(), telemetry.port()); },
        "Remote command failed: !Login,13 (command: $Login,<redacted>)"));
    EXPECT_EQ(telemetry.acceptCount(), 0);
    EXPECT_TRUE(command.finish());
}

TEST(Station, HandlesOutliveTheStationDisconnected) {
    ScriptedPeer command;
    scriptStationLogin(command).exchange("$Logout", "#Logout,0").expectClosed();
    TelemetryPeer telemetry;
    telemetry.setGreeting({telemetrySamplePacket(kJoints, kPose)});
    command.start();
    std::shared_ptr<CellCommandLink> control;
    std::shared_ptr<EthernetReceiveInterface> receive;
    {
        QuietStdout quiet;
        CellStation station("127.0.0.1", command.port(), telemetry.port());
        control = station.getControlInterface();
        receive = station.getReceiveInterface();
    }
    EXPECT_FALSE(control->isConnected());
    EXPECT_FALSE(receive->isConnected());
    EXPECT_TRUE(receive->hasSample());
    EXPECT_TRUE(command.finish());
}

TEST(StationReport, CombinesTheFailedHalves) {
    using Errors = std::pair<std::optional<std::string>, std::optional<std::string>>;
    const std::vector<std::pair<Errors, std::optional<std::string>>> cases = {
        {{std::nullopt, std::nullopt}, std::nullopt},
        {{"r", std::nullopt}, "Failed to disconnect Epson receive interface: r"},
        {{std::nullopt, "Failed to disconnect: Bad file descriptor"},
         "Failed to disconnect Epson control interface: Failed to disconnect: Bad file "
         "descriptor"},
        {{"r1", "c1"},
         "Failed to disconnect both Epson interfaces: receive error: r1; control error: c1"},
        // A failure with an empty message is still a failure.
        {{"", std::nullopt}, "Failed to disconnect Epson receive interface: unknown error"},
        {{"", ""},
         "Failed to disconnect both Epson interfaces: receive error: unknown error; control "
         "error: unknown error"}};
    for (const auto& [errors, expected] : cases) {
        EXPECT_EQ(disconnectFailureMessage(errors.first, errors.second), expected);
    }
}

}  // namespace
}  // namespace epson::test
