// The simulator's telemetry stream: packet rate, the line format with the moving state, status
// packets that follow the controller, and the failure modes tests use.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "epson_sim/Simulator.hpp"
#include "sim_test_client.hpp"

namespace {

using namespace sim_test;
using epson::sim::Simulator;
using epson::sim::TelemetryMode;

bool isStatus(const std::string& packet) {
    return packet.rfind("STAT=", 0) == 0;
}
bool isSample(const std::string& packet) {
    return packet.rfind("X=", 0) == 0;
}

double field(const std::string& packet, const std::string& key) {
    return std::stod(fields(packet).at(key));
}

// Reads packets until one satisfies the predicate; the last packet read, or nothing.
std::optional<std::string> awaitPacket(Client& client,
                                       const std::function<bool(const std::string&)>& predicate,
                                       milliseconds timeout = 2s) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        const auto packet = client.readUntil('\r', left);
        if (!packet) {
            return std::nullopt;
        }
        if (predicate(*packet)) {
            return packet;
        }
    }
    return std::nullopt;
}

// Reads until nothing more arrives, so that packets in flight before a mode change are gone.
void drain(Client& client) {
    const auto deadline = Clock::now() + 2s;
    while (!client.readSome(100ms).empty() && Clock::now() < deadline) {
    }
}

TEST(SimTelemetry, RateWithinTenPercentAndStatusEveryTenthSample) {
    for (const double rate : {100.0, 40.0}) {
        auto options = fastOptions();
        options.telemetryRateHz = rate;
        Simulator sim(options);
        sim.start();
        Client client(sim.telemetryPort());
        ASSERT_TRUE(awaitPacket(client, isStatus).has_value()) << rate << " Hz";

        const auto start = Clock::now();
        const auto end = start + 1s;
        int samples = 0;
        std::vector<int> samplesBetweenStatus;
        int sinceStatus = 0;
        while (Clock::now() < end) {
            const auto packet = client.readUntil(
                '\r', std::chrono::duration_cast<milliseconds>(end - Clock::now()));
            if (!packet) {
                break;
            }
            if (isStatus(*packet)) {
                samplesBetweenStatus.push_back(sinceStatus);
                sinceStatus = 0;
            } else if (isSample(*packet)) {
                ++samples;
                ++sinceStatus;
            } else {
                ADD_FAILURE() << "neither sample nor status: " << *packet;
            }
        }
        EXPECT_NEAR(samples, rate, 0.1 * rate) << rate << " Hz";
        ASSERT_GE(samplesBetweenStatus.size(), 3u) << rate << " Hz";
        for (int n : samplesBetweenStatus) {
            EXPECT_EQ(n, 10) << rate << " Hz";
        }
    }
}

TEST(SimTelemetry, SamplesCarryTheMovingState) {
    Simulator sim(fastOptions(0.25));
    sim.start();
    Client telemetry(sim.telemetryPort());
    const auto first = awaitPacket(telemetry, isSample);
    ASSERT_TRUE(first.has_value());
    const std::regex number(R"(-?\d+(\.\d{1,6})?)");
    const std::regex layout(
        R"(X=([^;]+);Y=([^;]+);Z=([^;]+);U=([^;]+);V=([^;]+);W=([^;]+);J1agl=([^;]+);J2agl=([^;]+);)"
        R"(J3agl=([^;]+);J4agl=([^;]+);J5agl=([^;]+);J6agl=([^;\s]+))");
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(*first, parts, layout)) << *first;
    for (std::size_t i = 1; i < parts.size(); ++i) {
        EXPECT_TRUE(std::regex_match(parts[i].str(), number)) << parts[i];
    }
    const auto rest = sim.snapshot();
    const char* poseKeys[] = {"X", "Y", "Z", "U", "V", "W"};
    for (int i = 0; i < 6; ++i) {
        EXPECT_NEAR(field(*first, poseKeys[i]), rest.pose[i], 1e-6) << poseKeys[i];
        EXPECT_NEAR(field(*first, "J" + std::to_string(i + 1) + "agl"), rest.joints[i], 1e-6);
    }

    // During a Go the samples show the arm on its way, not just the start and the end.
    Client command(sim.commandPort());
    login(command);
    ASSERT_EQ(command.execute("Motor On"), "#Execute,0");
    ASSERT_EQ(command.execute("Speed 20"), "#Execute,0");
    command.sendLine("$Execute,\"Go AglToPls(60,0,0,0,-90,0)\"");
    std::vector<double> j1;
    ASSERT_TRUE(awaitPacket(
        telemetry,
        [&](const std::string& packet) {
            if (isSample(packet)) {
                j1.push_back(field(packet, "J1agl"));
            }
            return !j1.empty() && j1.back() == 60.0;
        },
        5s));
    EXPECT_EQ(command.readLine(), "#Execute,0");
    int inBetween = 0;
    for (std::size_t i = 1; i < j1.size(); ++i) {
        EXPECT_GE(j1[i], j1[i - 1]) << "never backwards";
        inBetween += j1[i] > 1.0 && j1[i] < 59.0;
    }
    EXPECT_GT(inBetween, 10);
}

TEST(SimTelemetry, StatusFollowsTheController) {
    Simulator sim(fastOptions(0.2));
    sim.start();
    Client telemetry(sim.telemetryPort());
    Client command(sim.commandPort());
    login(command);
    const auto status = [](long stat, int syserr, long robot, long ctrl) {
        return "STAT=" + std::to_string(stat) + ";SYSERR=" + std::to_string(syserr) +
               ";CTRLDEV=26;ROBOTINFO=" + std::to_string(robot) +
               ";CTRLINFO=" + std::to_string(ctrl);
    };
    struct Step {
        const char* what;
        std::function<void()> apply;
        std::string expected;
    };
    const std::vector<Step> steps = {
        {"idle", [] {}, status(0, 0, 0, 0)},
        {"motors on, power high",
         [&] {
             ASSERT_EQ(command.execute("Motor On"), "#Execute,0");
             ASSERT_EQ(command.execute("Power High"), "#Execute,0");
         },
         status(0, 0, 4 | 8, 0)},
        {"safeguard open", [&] { sim.setSafeguardOpen(true); }, status(1 << 21, 0, 12, 512)},
        {"teach mode",
         [&] {
             sim.setSafeguardOpen(false);
             sim.setTeachMode(true);
         },
         status(1 << 19, 0, 12, 0)},
        {"moving",
         [&] {
             sim.setTeachMode(false);
             ASSERT_EQ(command.execute("Speed 1"), "#Execute,0");
             command.sendLine("$Execute,\"Go AglToPls(90,0,0,0,-90,0)\"");
         },
         status(1, 0, 4 | 8 | 16, 0)},
        {"paused", [&] { ASSERT_EQ(command.command("$Pause"), "#Pause,0"); },
         status(1 | (1 << 16), 0, 28, 0)},
        {"emergency stop",
         [&] {
             sim.setEmergencyStop(true);
             ASSERT_EQ(command.readLine(), "!Execute,99");
         },
         status((1 << 17) | (1 << 20), epson::sim::kEmergencyStopError, 1 | 8, 256)},
        {"released and reset",
         [&] {
             sim.setEmergencyStop(false);
             ASSERT_EQ(command.execute("Reset"), "#Execute,0");
         },
         status(0, 0, 0, 0)},  // Reset also restores Power Low
    };
    for (const auto& step : steps) {
        step.apply();
        std::string last;
        EXPECT_TRUE(awaitPacket(telemetry,
                                [&](const std::string& packet) {
                                    if (isStatus(packet)) {
                                        last = packet;
                                    }
                                    return packet == step.expected;
                                })
                        .has_value())
            << step.what << ": expected " << step.expected << ", last status " << last;
    }
}

TEST(SimTelemetry, SilentClosedRefusedAndGarbledModes) {
    Simulator sim(fastOptions());
    sim.start();
    const auto port = sim.telemetryPort();
    Client first(port);
    ASSERT_TRUE(awaitPacket(first, isSample).has_value());

    sim.setTelemetryMode(TelemetryMode::Silent);
    drain(first);
    EXPECT_TRUE(first.quietFor(300ms)) << "silent sends nothing";
    Client second(port);
    ASSERT_TRUE(second.connected()) << "silent still accepts";
    EXPECT_TRUE(eventually([&] { return sim.telemetryClientCount() == 2; }));
    EXPECT_TRUE(second.quietFor(200ms));

    sim.setTelemetryMode(TelemetryMode::Garbled);
    const auto garbled = awaitPacket(first, isSample);
    ASSERT_TRUE(garbled.has_value());
    const auto values = fields(*garbled);
    EXPECT_EQ(values.size(), 12u) << "the keys stay";
    for (const auto& [key, value] : values) {
        char* end = nullptr;
        std::strtod(value.c_str(), &end);
        EXPECT_EQ(end, value.c_str()) << key << "=" << value << " must not parse as a number";
    }
    const auto garbledStatus = awaitPacket(first, isStatus);
    ASSERT_TRUE(garbledStatus.has_value());
    EXPECT_EQ(fields(*garbledStatus).at("STAT"), "??");

    sim.setTelemetryMode(TelemetryMode::Closed);
    EXPECT_TRUE(first.closedByPeer(1s));
    EXPECT_TRUE(second.closedByPeer(1s));
    Client third(port);
    ASSERT_TRUE(third.connected()) << "closed still accepts the connect";
    EXPECT_TRUE(third.closedByPeer(1s)) << "and closes it at once";
    EXPECT_EQ(sim.telemetryClientCount(), 0u);

    sim.setTelemetryMode(TelemetryMode::Refused);
    errno = 0;
    Client refused(port);
    EXPECT_FALSE(refused.connected());
    EXPECT_EQ(errno, ECONNREFUSED);

    sim.setTelemetryMode(TelemetryMode::Normal);
    EXPECT_EQ(sim.telemetryPort(), port) << "the same port again";
    Client back(port);
    ASSERT_TRUE(back.connected());
    const auto sample = awaitPacket(back, isSample);
    ASSERT_TRUE(sample.has_value());
    EXPECT_NO_THROW(field(*sample, "J5agl"));
}

}  // namespace
