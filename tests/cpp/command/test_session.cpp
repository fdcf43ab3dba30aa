// Session lifecycle: connect with its attempts, login, the orderly disconnect, destruction.

#include <string_view>
#include <utility>
#include <vector>

#include "CommandTestSupport.hpp"
#include "epson/console.hpp"

namespace epson::test {
namespace {

using std::chrono::milliseconds;

// A label longer than 63 bytes cannot be encoded in a DNS query, so the resolver refuses it
// locally without sending anything.
const std::string kUnresolvableHost = std::string(70, 'a') + ".invalid";

std::string endpoint(std::uint16_t port) {
    return "127.0.0.1:" + std::to_string(port);
}

/// A connect() expected to fail: what it wrote on stderr, its message, how long it took.
struct FailedConnect {
    std::string stderrText;
    std::string message;
    milliseconds elapsed;
};

FailedConnect failedConnect(CellCommandLink& link, std::uint16_t port,
                            const std::string& password) {
    FailedConnect result;
    ::testing::internal::CaptureStderr();
    result.elapsed = timed([&] {
        try {
            link.connect("127.0.0.1", port, password);
        } catch (const std::runtime_error& error) {
            result.message = error.what();
        }
    });
    result.stderrText = ::testing::internal::GetCapturedStderr();
    return result;
}

TEST(Connect, LogsInAndAnnouncesTheEndpoint) {
    ScriptedPeer peer;
    scriptLogin(peer, "plover");
    CellCommandLink link;
    peer.start();
    ::testing::internal::CaptureStdout();
    link.connect("127.0.0.1", peer.port(), "plover");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Connected to " + endpoint(peer.port()) + "\n");
    EXPECT_TRUE(link.isConnected());
    EXPECT_TRUE(link.isLoggedIn());
    EXPECT_EQ(link.motorOnError(), "");
    EXPECT_TRUE(peer.finish());
}

TEST(Connect, UnresolvableHostFailsAtOnceWithoutAttempts) {
    CellCommandLink link;
    ::testing::internal::CaptureStderr();
    std::string message;
    const auto elapsed = timed([&] {
        try {
            link.connect(kUnresolvableHost, 5000, "");
        } catch (const std::runtime_error& error) {
            message = error.what();
        }
    });
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(message.rfind("Failed to resolve " + kUnresolvableHost + ":5000: ", 0), 0u)
        << message;
    EXPECT_EQ(err, message + "\n");
    EXPECT_LT(elapsed, milliseconds(1500));
    EXPECT_FALSE(link.isConnected());
}

TEST(Connect, PasswordWithLineEndIsRefusedBeforeAnything) {
    CellCommandLink link;
    for (const std::string password : {"a\r\n$Logout", "x\n", "\r"}) {
        ::testing::internal::CaptureStderr();
        EXPECT_TRUE(throwsWithMessage<std::invalid_argument>(
            [&] { link.connect(kUnresolvableHost, 5000, password); },
            "password must not contain line endings"));
        // Not even resolution happened: it would have reported on standard error.
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    }
}

TEST(Connect, HostileHostAndPasswordAreRefusedBeforeAnything) {
    CellCommandLink link;
    // Resolution would stop at the NUL and connect to the loopback host.
    EXPECT_TRUE(throwsWithMessage<std::invalid_argument>(
        [&] { link.connect(std::string("127.0.0.1\0evil", 14), 5000, ""); },
        "host must not contain NUL characters"));
    EXPECT_TRUE(throwsWithMessage<std::invalid_argument>(
        [&] { link.connect("127.0.0.1", 5000, std::string("1\0", 2)); },
        "password must not contain NUL characters"));
    EXPECT_FALSE(link.isConnected());
}

TEST(Connect, RejectedLoginIsNotRetriedAndLeavesTheLinkClosed) {
    ScriptedPeer peer;
    peer.exchange("$Login,wrong", "!Login,13").expectClosed();
    CellCommandLink link;
    peer.start();
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(throwsWithMessage<std::runtime_error>(
        [&] { link.connect("127.0.0.1", peer.port(), "wrong"); },
        "Remote command failed: !Login,13 (command: $Login,<redacted>)"));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(link.isConnected());
    EXPECT_FALSE(link.isLoggedIn());
    EXPECT_TRUE(peer.finish());
    EXPECT_EQ(peer.acceptedConnections(), 1);
}

TEST(Connect, ReconnectDropsTheOldConnectionWithoutLogout) {
    ScriptedPeer peer;
    scriptLogin(peer).expectClosed().acceptNext();
    scriptLogin(peer);
    CellCommandLink link;
    connectLink(link, peer);
    link.connect("127.0.0.1", peer.port(), "");
    EXPECT_TRUE(link.isLoggedIn());
    EXPECT_TRUE(peer.finish());
    EXPECT_EQ(peer.received(), "$Login,\r\n$Login,\r\n");
}

// Slow: two retry pauses of two seconds.
TEST(ConnectSlow, RefusedPortMakesThreeAttemptsTwoSecondsApart) {
    RefusingPort refusing;
    CellCommandLink link;
    const auto [stderrText, message, elapsed] = failedConnect(link, refusing.port(), "");
    EXPECT_EQ(stderrText,
              "Epson Remote Ethernet login attempt 1 failed; retrying in 2 seconds\n"
              "Epson Remote Ethernet login attempt 2 failed; retrying in 2 seconds\n");
    EXPECT_EQ(message.rfind("Epson Remote Ethernet login failed after 3 attempts: Failed to "
                            "connect to " +
                                endpoint(refusing.port()) + ": ",
                            0),
              0u)
        << message;
    EXPECT_GE(elapsed, milliseconds(3900));
    EXPECT_LT(elapsed, milliseconds(6000));
    EXPECT_FALSE(link.isConnected());
}

TEST(Connect, AttemptsCanBeLimitedToOne) {
    RefusingPort refusing;
    CellCommandLink link;
    EXPECT_THROW(link.setConnectAttempts(0), std::invalid_argument);
    EXPECT_THROW(link.setConnectAttempts(11), std::invalid_argument);
    link.setConnectAttempts(1);
    const auto [stderrText, message, elapsed] = failedConnect(link, refusing.port(), "");
    EXPECT_EQ(stderrText, "");  // no retry announced
    EXPECT_EQ(message.rfind("Epson Remote Ethernet login failed after 1 attempt: Failed to "
                            "connect to " +
                                endpoint(refusing.port()) + ": ",
                            0),
              0u)
        << message;
    EXPECT_LT(elapsed, milliseconds(1500));
}

// Slow: three five-second login deadlines and two pauses.
TEST(ConnectSlow, SilentPeerTimesOutEachLoginAttempt) {
    ScriptedPeer peer;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (attempt > 0) {
            peer.acceptNext();
        }
        peer.expectLine("$Login,secret").expectClosed(8s);
    }
    CellCommandLink link;
    peer.start();
    const auto [stderrText, message, elapsed] = failedConnect(link, peer.port(), "secret");
    EXPECT_EQ(message,
              "Epson Remote Ethernet login failed after 3 attempts: Timed out waiting for an "
              "Epson Remote Ethernet response to $Login,<redacted> after 5000 ms");
    EXPECT_GE(elapsed, milliseconds(18500));
    EXPECT_LT(elapsed, milliseconds(23000));
    EXPECT_TRUE(peer.finish());
    EXPECT_EQ(peer.acceptedConnections(), 3);
}

TEST(Disconnect, LogsOutClosesAndAnnounces) {
    ScriptedPeer peer;
    scriptLogin(peer).exchange("$Logout", "#Logout,0").expectClosed();
    CellCommandLink link;
    connectLink(link, peer);
    ::testing::internal::CaptureStdout();
    link.disconnect();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Disconnected from " + endpoint(peer.port()) + "\n");
    EXPECT_FALSE(link.isConnected());
    EXPECT_FALSE(link.isLoggedIn());
    EXPECT_TRUE(peer.finish());

    // A second disconnect prints and throws nothing.
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_NO_THROW(link.disconnect());
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST(Disconnect, RefusedLogoutIsReportedAndTheSocketStillCloses) {
    ScriptedPeer peer;
    scriptLogin(peer).exchange("$Logout", "!Logout,11").expectClosed();
    CellCommandLink link;
    connectLink(link, peer);
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    EXPECT_NO_THROW(link.disconnect());
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Disconnected from " + endpoint(peer.port()) + "\n");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Failed to log out of controller: Remote command failed: !Logout,11 (command: "
              "$Logout)\n");
    EXPECT_FALSE(link.isConnected());
    EXPECT_TRUE(peer.finish());
}

std::vector<std::pair<ConsoleLevel, std::string>> routedLines;

TEST(Disconnect, ARoutedSinkTakesEachLineWithItsLevelInsteadOfTheStreams) {
    ScriptedPeer peer;
    scriptLogin(peer).exchange("$Logout", "!Logout,11").expectClosed();
    ConsoleRoute route;
    route.sink = [](ConsoleLevel level, std::string_view line) noexcept {
        routedLines.emplace_back(level, std::string(line));
    };
    useConsoleRoute(&route);
    routedLines.clear();
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    CellCommandLink link;
    peer.start();
    link.connect("127.0.0.1", peer.port(), "");
    link.disconnect();
    useConsoleRoute(nullptr);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    const std::vector<std::pair<ConsoleLevel, std::string>> expected{
        {ConsoleLevel::Info, "Connected to " + endpoint(peer.port())},
        {ConsoleLevel::Error,
         "Failed to log out of controller: Remote command failed: !Logout,11 (command: $Logout)"},
        {ConsoleLevel::Info, "Disconnected from " + endpoint(peer.port())}};
    EXPECT_EQ(routedLines, expected);
    EXPECT_NE(&consoleRoute(), &route) << "the built-in route is back";
    EXPECT_TRUE(peer.finish());
}

TEST(Disconnect, SwitchesOffOnlyMotorsTheLinkLeftOn) {
    // What came instead of Motor On's own reply: nothing, or a line that leaves its outcome
    // unknown, after which the motors count as possibly on.
    for (const char* displaced : {"", "!Status,11", " ", "#Bogus,1"}) {
        for (const bool switchedOffAgain : {false, true}) {
            const bool unknown = *displaced != '\0';
            if (unknown && switchedOffAgain) {
                continue;
            }
            SCOPED_TRACE(std::string("displaced by \"") + displaced + "\", switched off again " +
                         std::to_string(switchedOffAgain));
            // Exactly one Motor Off either way: from the caller, or else from the disconnect.
            ScriptedPeer peer;
            scriptLogin(peer).expectLine("$Execute,\"Motor On\"");
            if (unknown) {
                // Its own reply comes late and must be dropped; a status proves nothing runs.
                peer.sendLine(displaced)
                    .sendLine("#Execute,0")
                    .exchange("$GetStatus", "#GetStatus,00100000001,0000");
            } else {
                peer.sendLine("#Execute,0");
            }
            peer.exchange("$Execute,\"Motor Off\"", "#Execute,0");
            peer.exchange("$Logout", "#Logout,0").expectClosed();
            CellCommandLink link;
            connectLink(link, peer);
            if (unknown) {
                // Never this command's refusal: the error line names another command.
                EXPECT_THROW(link.motorOn(), OutcomeUnknownError);
                EXPECT_NE(link.motorOnError().find("may have taken effect"), std::string::npos);
            } else {
                link.motorOn();
            }
            if (switchedOffAgain) {
                link.motorOff();
            }
            ::testing::internal::CaptureStdout();
            link.disconnect();
            ::testing::internal::GetCapturedStdout();
            EXPECT_TRUE(peer.finish());
        }
    }
}

TEST(Disconnect, TimeoutInACleanUpStepFailsTheLaterStepsByTheirOwnLines) {
    ScriptedPeer peer;
    scriptLogin(peer)
        .exchange("$Execute,\"Motor On\"", "#Execute,0")
        .expectLine("$Execute,\"Motor Off\"")
        .expectClosed(8s);
    CellCommandLink link;
    connectLink(link, peer);
    link.motorOn();
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    EXPECT_NO_THROW(link.disconnect());
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Disconnected from " + endpoint(peer.port()) + "\n");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Failed to turn off motor: Timed out waiting for an Epson Remote Ethernet response "
              "to $Execute,\"Motor Off\" after 5000 ms\n"
              "logout() called but not connected\n"
              "Failed to log out of controller: logout() called but not connected\n");
    EXPECT_TRUE(peer.finish());
}

TEST(Lifecycle, DestroyingALoggedInLinkSendsNothing) {
    ScriptedPeer peer;
    scriptLogin(peer).expectClosed();
    {
        CellCommandLink link;
        connectLink(link, peer);
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
    }
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(peer.finish());
}

TEST(Lifecycle, MotorOnErrorIsKeptAcrossDisconnectAndClearedByConnect) {
    ScriptedPeer peer;
    scriptLogin(peer);
    CellCommandLink link;
    EXPECT_EQ(link.motorOnError(), "");
    EXPECT_THROW(link.motorOn(), std::runtime_error);
    EXPECT_EQ(link.motorOnError(), "command() was called but socket not connected");
    link.disconnect();
    EXPECT_EQ(link.motorOnError(), "command() was called but socket not connected");
    connectLink(link, peer);
    EXPECT_EQ(link.motorOnError(), "");
}

}  // namespace
}  // namespace epson::test
