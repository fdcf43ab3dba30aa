// The telemetry receiver against a loopback telemetry peer: readiness, reconnection, the
// lifetime of published data, bounded buffering and bounded shutdown, subscriptions and
// recording.

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ReceiverImpl.hpp"
#include "ScriptedPeer.hpp"  // RefusingPort
#include "TelemetryPeer.hpp"
#include "epson/EthernetReceiveInterface.hpp"

namespace epson {
namespace {

using namespace std::chrono_literals;
using test::pollUntil;
using test::TelemetryPeer;
using Clock = std::chrono::steady_clock;

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr const char* kLoopback = "127.0.0.1";
constexpr const char* kReadinessMessage =
    "Connected to the Epson telemetry port, but no complete six-axis sample was received "
    "within 2 seconds. Check that the controller Background Task is running and continuously "
    "writing all X-W and J1-J6 angle fields.";

// Twelve distinct values derived from @p base, so that mixed-up samples show.
TelemetrySample sampleFrom(double base) {
    TelemetrySample sample;
    for (std::size_t i = 0; i < 6; ++i) {
        sample.joints[i] = base + static_cast<double>(i) + 0.25;
        sample.tcpPose[i] = base + 100.0 * static_cast<double>(i + 1) - 0.5;
    }
    return sample;
}

std::string packetOf(const TelemetrySample& sample) {
    return test::telemetrySamplePacket(sample.joints, sample.tcpPose);
}

bool sameSample(const TelemetrySample& a, const TelemetrySample& b) {
    return a.joints == b.joints && a.tcpPose == b.tcpPose;
}

bool currentSampleIs(const EthernetReceiveInterface& receiver, const TelemetrySample& expected) {
    return receiver.hasSample() && sameSample(receiver.getSample(), expected);
}

// Threads of this process, so that a test can tell that the receiver left none behind.
int threadCount() {
    DIR* tasks = ::opendir("/proc/self/task");
    if (tasks == nullptr) {
        return -1;
    }
    int count = 0;
    while (const dirent* entry = ::readdir(tasks)) {
        count += entry->d_name[0] != '.' ? 1 : 0;
    }
    ::closedir(tasks);
    return count;
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Expects @p action to throw std::runtime_error with exactly @p message.
template <typename Action>
void expectRuntimeError(Action action, const std::string& message) {
    try {
        action();
        ADD_FAILURE() << "no exception; expected \"" << message << "\"";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(error.what(), message);
    }
}

const std::string kStatusPacket = test::telemetryStatusPacket(524288, 0, 21, 0, 256);

TEST(TelemetryReceiver, ConnectReturnsWithTheFirstSample) {
    TelemetryPeer peer;
    const TelemetrySample first = sampleFrom(1);
    // Pose and joints in two CR LF lines: the line feed lands in front of the joint keys.
    const std::string packet = packetOf(first);
    const std::size_t split = packet.find(";J1agl");
    peer.setGreeting({packet.substr(0, split), packet.substr(split + 1)});

    EthernetReceiveInterface receiver;
    EXPECT_FALSE(receiver.hasSample());
    EXPECT_EQ(receiver.sampleAgeSeconds(), kInfinity);
    expectRuntimeError([&] { receiver.getSample(); },
                       "No complete Epson telemetry sample has been received");

    const auto start = Clock::now();
    receiver.connect(kLoopback, peer.port());
    EXPECT_LT(secondsSince(start), 1.0) << "connect must return as soon as a sample is in";
    EXPECT_TRUE(receiver.isConnected());
    EXPECT_TRUE(sameSample(receiver.getSample(), first));
    EXPECT_GE(receiver.sampleAgeSeconds(), 0.0);
    EXPECT_LT(receiver.sampleAgeSeconds(), 1.0);

    EXPECT_FALSE(receiver.hasControllerStatus());
    EXPECT_EQ(receiver.controllerStatusAgeSeconds(), kInfinity);
    expectRuntimeError([&] { receiver.getControllerStatus(); },
                       "No Epson controller-status packet has been received");

    ASSERT_TRUE(peer.sendPacket(kStatusPacket));
    ASSERT_TRUE(pollUntil([&] { return receiver.hasControllerStatus(); }, 2s));
    EXPECT_EQ(receiver.getControllerStatus().at("teach_mode"), 1);
    EXPECT_LT(receiver.controllerStatusAgeSeconds(), 1.0);
}

TEST(TelemetryReceiver, StatusOnlyPeerFailsReadinessAfterTwoSeconds) {
    TelemetryPeer peer;
    peer.setGreeting({kStatusPacket});
    const int threadsBefore = threadCount();
    EthernetReceiveInterface receiver;

    const auto start = Clock::now();
    expectRuntimeError([&] { receiver.connect(kLoopback, peer.port()); }, kReadinessMessage);
    const double elapsed = secondsSince(start);
    EXPECT_GE(elapsed, 1.95);
    EXPECT_LT(elapsed, 3.0);

    EXPECT_FALSE(receiver.isConnected());
    EXPECT_EQ(threadCount(), threadsBefore);
    EXPECT_TRUE(peer.waitForRemoteCloses(1, 1s)) << "the socket must be closed";

    ASSERT_TRUE(receiver.hasControllerStatus());
    EXPECT_EQ(receiver.getControllerStatus().at("stat"), 524288);
    EXPECT_LT(receiver.controllerStatusAgeSeconds(), 3.0);
    EXPECT_FALSE(receiver.hasSample());
    EXPECT_EQ(receiver.sampleAgeSeconds(), kInfinity);
}

TEST(TelemetryReceiver, RefusedConnectNamesTheEndpointAndStartsNothing) {
    const test::RefusingPort refusing;
    const int threadsBefore = threadCount();
    EthernetReceiveInterface receiver;
    expectRuntimeError([&] { receiver.connect(kLoopback, refusing.port()); },
                       "Failed to connect to Epson telemetry at 127.0.0.1:" +
                           std::to_string(refusing.port()) + ": Connection refused");
    EXPECT_FALSE(receiver.isConnected());
    EXPECT_EQ(threadCount(), threadsBefore);
}

TEST(TelemetryReceiver, DataOutlivesDisconnectAndAges) {
    TelemetryPeer peer;
    const TelemetrySample first = sampleFrom(1);
    peer.setGreeting({packetOf(first), kStatusPacket});
    EthernetReceiveInterface receiver;
    receiver.disconnect();  // harmless while idle
    receiver.disconnect();

    receiver.connect(kLoopback, peer.port());
    ASSERT_TRUE(pollUntil([&] { return receiver.hasControllerStatus(); }, 2s));
    receiver.disconnect();
    EXPECT_FALSE(receiver.isConnected());
    EXPECT_TRUE(peer.waitForRemoteCloses(1, 1s));

    const double sampleAge = receiver.sampleAgeSeconds();
    const double statusAge = receiver.controllerStatusAgeSeconds();
    EXPECT_TRUE(pollUntil(
        [&] {
            return receiver.sampleAgeSeconds() > sampleAge + 0.05 &&
                   receiver.controllerStatusAgeSeconds() > statusAge + 0.05;
        },
        2s));
    receiver.disconnect();
    EXPECT_TRUE(sameSample(receiver.getSample(), first));
    EXPECT_EQ(receiver.getControllerStatus().at("stat"), 524288);
}

TEST(TelemetryReceiver, SecondConnectStartsAfresh) {
    TelemetryPeer oldPeer;
    oldPeer.setGreeting({packetOf(sampleFrom(1)), kStatusPacket});
    TelemetryPeer newPeer;
    const TelemetrySample fresh = sampleFrom(2);
    newPeer.setGreeting({packetOf(fresh)});
    const int threadsBefore = threadCount();

    EthernetReceiveInterface receiver;
    receiver.connect(kLoopback, oldPeer.port());
    ASSERT_TRUE(pollUntil([&] { return receiver.hasControllerStatus(); }, 2s));
    // By name this time: resolution may yield several endpoints, tried in order.
    receiver.connect("localhost", newPeer.port());

    EXPECT_TRUE(oldPeer.waitForRemoteCloses(1, 1s));
    EXPECT_EQ(threadCount(), threadsBefore + 1) << "the old receiver thread must be gone";
    EXPECT_TRUE(receiver.isConnected());
    EXPECT_TRUE(sameSample(receiver.getSample(), fresh));
    EXPECT_FALSE(receiver.hasControllerStatus());
    EXPECT_EQ(receiver.controllerStatusAgeSeconds(), kInfinity);
}

TEST(TelemetryReceiver, ReconnectsAboutASecondAfterThePeerCloses) {
    TelemetryPeer peer;
    const TelemetrySample first = sampleFrom(1);
    peer.setGreeting({packetOf(first)});
    EthernetReceiveInterface receiver;
    receiver.connect(kLoopback, peer.port());

    // Pose fields from before the break, and below joint fields from after it, must never
    // combine into one sample.
    const TelemetrySample stale = sampleFrom(2);
    const std::string stalePacket = packetOf(stale);
    const std::string staleJoints = stalePacket.substr(stalePacket.find(";J1agl=") + 1);
    ASSERT_TRUE(peer.sendPacket(stalePacket.substr(0, stalePacket.find(";J1agl="))));
    auto stream = receiver.subscribe();
    ASSERT_TRUE(peer.sendPacket(kStatusPacket));
    peer.setGreeting({});  // a reconnection must not wait for a sample
    const auto closed = Clock::now();
    peer.closeClient();
    ASSERT_TRUE(pollUntil([&] { return !receiver.isConnected(); }, 1s));
    EXPECT_TRUE(sameSample(receiver.getSample(), first)) << "data stays readable meanwhile";
    // The break ends the stream: what came before it is read, then the end, at once; and no
    // new stream starts until the connection is back.
    ASSERT_TRUE(stream->pop(2000ms).has_value());
    const auto endStart = Clock::now();
    EXPECT_FALSE(stream->pop(3000ms));
    EXPECT_LT(secondsSince(endStart), 0.5);
    EXPECT_TRUE(stream->closed());
    if (!receiver.isConnected()) {
        EXPECT_THROW(receiver.subscribe(), std::runtime_error);
    }

    ASSERT_TRUE(pollUntil([&] { return receiver.isConnected(); }, 3s));
    const double elapsed = secondsSince(closed);
    EXPECT_GE(elapsed, 0.9);
    EXPECT_LT(elapsed, 2.0);
    EXPECT_TRUE(peer.waitForAccepts(2, 1s));  // the client side may finish first

    ASSERT_TRUE(peer.sendPacket(staleJoints));
    ASSERT_TRUE(peer.sendPacket(kStatusPacket));  // packets are handled in order
    // The status from before the break is over a second old by now.
    ASSERT_TRUE(pollUntil([&] { return receiver.controllerStatusAgeSeconds() < 0.5; }, 2s));
    EXPECT_TRUE(sameSample(receiver.getSample(), first));

    auto renewed = receiver.subscribe();  // the new connection takes new subscriptions
    const TelemetrySample later = sampleFrom(3);
    ASSERT_TRUE(peer.sendPacket(packetOf(later)));
    EXPECT_TRUE(pollUntil([&] { return currentSampleIs(receiver, later); }, 2s));
    std::optional<TelemetryEvent> event = renewed->pop(2000ms);
    if (event && event->kind == TelemetryEvent::Kind::Status) {
        event = renewed->pop(2000ms);  // the status sent after the reconnection
    }
    ASSERT_TRUE(event.has_value());
    EXPECT_TRUE(sameSample(event->sample, later));
    EXPECT_FALSE(stream->pop(0ms)) << "the ended stream stays ended";
}

TEST(TelemetryReceiver, ReconnectionsReuseTheAddressesOfConnect) {
    TelemetryPeer peer;
    peer.setGreeting({packetOf(sampleFrom(1))});
    EthernetReceiveInterface::Impl receiver;
    std::atomic<int> lookUps{0};
    const auto realLookUp = receiver.lookUp_;
    receiver.lookUp_ = [&](const std::string& host, const std::string& service,
                           boost::system::error_code& error) {
        ++lookUps;
        return realLookUp(host, service, error);
    };
    receiver.connect("localhost", peer.port());
    EXPECT_EQ(lookUps.load(), 1);

    // A lookup on the receiver thread could stall a disconnect() for as long as the resolver
    // takes to give up; reconnections must not make one.
    peer.closeClient();
    ASSERT_TRUE(pollUntil([&] { return !receiver.connected_.load(); }, 1s));
    ASSERT_TRUE(pollUntil([&] { return receiver.connected_.load(); }, 3s));
    EXPECT_TRUE(peer.waitForAccepts(2, 1s));
    EXPECT_EQ(lookUps.load(), 1);

    receiver.connect("localhost", peer.port());  // a new connect looks the name up afresh
    EXPECT_EQ(lookUps.load(), 2);
    receiver.disconnect();
}

TEST(TelemetryReceiver, BadPacketDropsCollectedFieldsAndKeepsTheConnection) {
    TelemetryPeer peer;
    const TelemetrySample first = sampleFrom(1);
    peer.setGreeting({packetOf(first)});
    EthernetReceiveInterface receiver;
    receiver.connect(kLoopback, peer.port());

    ASSERT_TRUE(peer.sendPacket("X=1;Y=2;Z=3;U=4;V=5;W=6;J1agl=7;J2agl=8;J3agl=9"));
    ASSERT_TRUE(peer.sendPacket("Note=abc"));
    // Would complete the sample had the bad packet not dropped the fields before it.
    ASSERT_TRUE(peer.sendPacket("J4agl=10;J5agl=11;J6agl=12"));
    ASSERT_TRUE(peer.sendPacket(kStatusPacket));  // packets are handled in order
    ASSERT_TRUE(pollUntil([&] { return receiver.hasControllerStatus(); }, 2s));

    EXPECT_TRUE(sameSample(receiver.getSample(), first));
    EXPECT_TRUE(receiver.isConnected());
    EXPECT_EQ(peer.acceptCount(), 1);
    EXPECT_EQ(peer.remoteCloseCount(), 0);
}

// Installs a handler that does nothing, without SA_RESTART (as CPython installs its handlers),
// so that a blocking call of the thread that takes the signal fails with EINTR.
class InterruptingSignal {
  public:
    explicit InterruptingSignal(int signal) : signal_(signal) {
        struct sigaction action {};
        action.sa_handler = [](int) {};
        sigemptyset(&action.sa_mask);
        installed_ = ::sigaction(signal_, &action, &previous_) == 0;
    }
    ~InterruptingSignal() {
        if (installed_) {
            ::sigaction(signal_, &previous_, nullptr);
        }
    }
    InterruptingSignal(const InterruptingSignal&) = delete;
    InterruptingSignal& operator=(const InterruptingSignal&) = delete;
    bool installed() const { return installed_; }

  private:
    int signal_;
    bool installed_ = false;
    struct sigaction previous_ {};
};

// A signal says nothing about the connection: the read goes on, no reconnection, and the
// next packet arrives at once.
TEST(TelemetryReceiver, SignalDuringTheBlockingReadKeepsTheConnection) {
    const InterruptingSignal handler(SIGUSR1);
    ASSERT_TRUE(handler.installed());
    TelemetryPeer peer;
    peer.setGreeting({packetOf(sampleFrom(1))});
    EthernetReceiveInterface::Impl receiver;
    receiver.connect(kLoopback, peer.port());

    // Several signals, so that some land while the thread waits in its read.
    for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(20ms);
        ASSERT_EQ(::pthread_kill(receiver.thread_.native_handle(), SIGUSR1), 0);
    }
    const TelemetrySample next = sampleFrom(2);
    ASSERT_TRUE(peer.sendPacket(packetOf(next)));
    EXPECT_TRUE(pollUntil(
        [&] {
            std::lock_guard lock(receiver.sampleMutex_);
            return sameSample(receiver.sample_, next);
        },
        500ms));
    EXPECT_TRUE(receiver.connected_.load());
    EXPECT_EQ(peer.acceptCount(), 1);
    EXPECT_EQ(peer.remoteCloseCount(), 0);
    receiver.disconnect();
}

TEST(TelemetryReceiver, OnlyACarriageReturnEndsAPacket) {
    TelemetryPeer peer;
    peer.setGreeting({packetOf(sampleFrom(1))});
    EthernetReceiveInterface receiver;
    receiver.connect(kLoopback, peer.port());

    const TelemetrySample next = sampleFrom(2);
    ASSERT_TRUE(peer.sendRaw(packetOf(next) + "\n"));
    EXPECT_FALSE(pollUntil([&] { return currentSampleIs(receiver, next); }, 200ms));
    ASSERT_TRUE(peer.sendRaw("\r"));
    EXPECT_TRUE(pollUntil([&] { return currentSampleIs(receiver, next); }, 2s));
}

TEST(TelemetryReceiver, ConcurrentReadersSeeWholeSamplesAndStatuses) {
    auto uniform = [](double value) {
        TelemetrySample sample;
        sample.joints.fill(value);
        sample.tcpPose.fill(value);
        return sample;
    };
    TelemetryPeer peer;
    peer.setGreeting({packetOf(uniform(0))});
    EthernetReceiveInterface receiver;
    receiver.connect(kLoopback, peer.port());

    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::atomic<long> reads{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            while (!done.load()) {
                const TelemetrySample sample = receiver.getSample();
                for (std::size_t i = 0; i < 6; ++i) {
                    if (sample.joints[i] != sample.joints[0] ||
                        sample.tcpPose[i] != sample.joints[0]) {
                        ++torn;
                    }
                }
                if (receiver.hasControllerStatus()) {
                    const ControllerStatus status = receiver.getControllerStatus();
                    if (status.at("stat") != status.at("ctrl_info") ||
                        status.at("system_error") != status.at("robot_info")) {
                        ++torn;
                    }
                }
                if (!(receiver.sampleAgeSeconds() >= 0.0) || !receiver.isConnected()) {
                    ++torn;
                }
                receiver.controllerStatusAgeSeconds();
                ++reads;
            }
        });
    }

    constexpr int kPackets = 300;
    bool sent = true;
    for (int i = 1; i <= kPackets && sent; ++i) {
        sent = peer.sendPacket(packetOf(uniform(i))) &&
               peer.sendPacket(test::telemetryStatusPacket(i, i, 21, i, i));
    }
    EXPECT_TRUE(sent);
    EXPECT_TRUE(pollUntil(
        [&] {
            return currentSampleIs(receiver, uniform(kPackets)) && receiver.hasControllerStatus() &&
                   receiver.getControllerStatus().at("stat") == kPackets;
        },
        5s));
    done.store(true);
    for (auto& reader : readers) {
        reader.join();
    }
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(reads.load(), 0);
}

// --- Bounded buffering --------------------------------------------------------------------

TEST(TelemetryReceiver, OverlongLineDropsTheConnectionAndItsBytes) {
    TelemetryPeer peer;
    peer.setGreeting({packetOf(sampleFrom(1))});
    EthernetReceiveInterface receiver;
    receiver.connect(kLoopback, peer.port());

    // Exactly the limit before the carriage return, counting the line feed still buffered
    // from the greeting's CR LF. The padding is a field without "=".
    const TelemetrySample atLimit = sampleFrom(2);
    std::string line = packetOf(atLimit) + ";";
    line.append(kMaxPacketBytes - 1 - line.size(), 'p');
    ASSERT_TRUE(peer.sendRaw(line + "\r"));
    ASSERT_TRUE(pollUntil([&] { return currentSampleIs(receiver, atLimit); }, 2s));
    EXPECT_EQ(peer.remoteCloseCount(), 0);

    // One byte more without a carriage return is a broken peer.
    peer.setGreeting({});
    ASSERT_TRUE(peer.sendRaw(std::string(kMaxPacketBytes + 1, 'p')));
    ASSERT_TRUE(peer.waitForRemoteCloses(1, 2s));
    EXPECT_FALSE(receiver.isConnected());
    ASSERT_TRUE(peer.waitForAccepts(2, 3s)) << "reconnects on the usual cadence";
    ASSERT_TRUE(pollUntil([&] { return receiver.isConnected(); }, 1s));

    // Had the dropped bytes been kept, they would spoil this packet's first key.
    const TelemetrySample after = sampleFrom(3);
    ASSERT_TRUE(peer.sendPacket(packetOf(after)));
    EXPECT_TRUE(pollUntil([&] { return currentSampleIs(receiver, after); }, 2s));
}

// --- Bounded connection attempts ------------------------------------------------------------

TEST(TelemetryReceiver, ConnectToAPeerThatNeverAnswersGivesUp) {
    TelemetryPeer peer;
    peer.stallHandshakes();
    const int threadsBefore = threadCount();
    EthernetReceiveInterface receiver;

    const auto start = Clock::now();
    expectRuntimeError([&] { receiver.connect(kLoopback, peer.port()); },
                       "Failed to connect to Epson telemetry at 127.0.0.1:" +
                           std::to_string(peer.port()) + ": Connection timed out");
    const double elapsed = secondsSince(start);
    EXPECT_GE(elapsed, 1.9);
    EXPECT_LT(elapsed, 3.0);
    EXPECT_FALSE(receiver.isConnected());
    EXPECT_EQ(threadCount(), threadsBefore);
}

TEST(TelemetryReceiver, RetriesAfterAnAttemptTimesOut) {
    TelemetryPeer peer;
    peer.setGreeting({packetOf(sampleFrom(1))});
    EthernetReceiveInterface receiver;
    receiver.connect(kLoopback, peer.port());

    peer.stallHandshakes();
    peer.closeClient();
    ASSERT_TRUE(pollUntil([&] { return peer.handshakePending(); }, 3s));
    // The attempt ends at its deadline and the next one follows on the usual cadence.
    ASSERT_TRUE(pollUntil([&] { return !peer.handshakePending(); }, 3s));
    EXPECT_FALSE(receiver.isConnected());
    peer.resumeHandshakes();
    EXPECT_TRUE(pollUntil([&] { return receiver.isConnected(); }, 3s));
    EXPECT_TRUE(peer.waitForAccepts(2, 1s));  // the client side may finish first
}

enum class StopBy { kDisconnect, kDestructor, kDisconnectsAtOnce };

class StopDuringReconnection : public ::testing::TestWithParam<StopBy> {};

TEST_P(StopDuringReconnection, ReturnsWithinTheBound) {
    TelemetryPeer peer;
    peer.setGreeting({packetOf(sampleFrom(1))});
    const int threadsBefore = threadCount();
    auto receiver = std::make_unique<EthernetReceiveInterface>();
    receiver->connect(kLoopback, peer.port());

    peer.stallHandshakes();
    peer.closeClient();
    // The receiver's SYN is now unanswered: it is inside a reconnection attempt.
    ASSERT_TRUE(pollUntil([&] { return peer.handshakePending(); }, 3s));

    const auto start = Clock::now();
    if (GetParam() == StopBy::kDisconnect) {
        receiver->disconnect();
        EXPECT_FALSE(receiver->isConnected());
    } else if (GetParam() == StopBy::kDestructor) {
        receiver.reset();
    } else {
        // Several threads at once, then the destructor: each returns, none joins twice.
        std::atomic<int> finished{0};
        std::vector<std::thread> stoppers;
        for (int i = 0; i < 4; ++i) {
            stoppers.emplace_back([&] {
                receiver->disconnect();
                ++finished;
            });
        }
        if (!pollUntil([&] { return finished.load() == 4; }, 5s)) {
            ADD_FAILURE() << "concurrent disconnect() calls hang";
            std::_Exit(1);  // the stuck threads cannot be joined
        }
        for (auto& stopper : stoppers) {
            stopper.join();
        }
        receiver.reset();
    }
    EXPECT_LT(secondsSince(start), 3.0);
    EXPECT_EQ(threadCount(), threadsBefore);
}

INSTANTIATE_TEST_SUITE_P(Telemetry, StopDuringReconnection,
                         ::testing::Values(StopBy::kDisconnect, StopBy::kDestructor,
                                           StopBy::kDisconnectsAtOnce),
                         [](const auto& info) {
                             switch (info.param) {
                                 case StopBy::kDisconnect:
                                     return "Disconnect";
                                 case StopBy::kDestructor:
                                     return "Destructor";
                                 default:
                                     return "DisconnectsAtOnce";
                             }
                         });

// --- Subscriptions and recording ----------------------------------------------------------

// What a consumer expects to see: a sample (its twelve values) or a status (its stat word).
struct Published {
    TelemetryEvent::Kind kind;
    TelemetrySample sample;
    std::int64_t stat = 0;
};

// Sends a stream with samples, statuses every seventh sample, and packets that must never
// reach a queue: a sample's pose cut off by a bad packet, and a stray joint packet. Returns
// what the receiver publishes, in order.
std::vector<Published> sendMixedStream(TelemetryPeer& peer, int samples) {
    std::vector<Published> published;
    for (int i = 1; i <= samples; ++i) {
        const TelemetrySample sample = sampleFrom(i);
        if (i % 7 == 0) {
            EXPECT_TRUE(peer.sendPacket(test::telemetryStatusPacket(i, 0, 21, 0, 256 * (i % 2))));
            published.push_back({TelemetryEvent::Kind::Status, {}, i});
        }
        if (i % 11 == 0) {
            EXPECT_TRUE(peer.sendPacket("X=1;Y=2;Z=3;U=4;V=5;W=6"));
            EXPECT_TRUE(peer.sendPacket("Note=abc"));
            EXPECT_TRUE(peer.sendPacket("J1agl=7;J2agl=8;J3agl=9;J4agl=10;J5agl=11;J6agl=12"));
        }
        EXPECT_TRUE(peer.sendPacket(packetOf(sample)));
        published.push_back({TelemetryEvent::Kind::Sample, sample, 0});
    }
    return published;
}

// Pops until @p count events arrived or a pop waits in vain for two seconds.
std::vector<TelemetryEvent> popEvents(TelemetrySubscription& subscription, std::size_t count) {
    std::vector<TelemetryEvent> events;
    while (events.size() < count) {
        std::optional<TelemetryEvent> event = subscription.pop(2000ms);
        if (!event) {
            break;
        }
        events.push_back(std::move(*event));
    }
    return events;
}

// Whether @p events are exactly @p expected, in order, with receive times that never go back.
::testing::AssertionResult matches(const std::vector<TelemetryEvent>& events,
                                   const std::vector<Published>& expected) {
    if (events.size() != expected.size()) {
        return ::testing::AssertionFailure()
               << events.size() << " events, expected " << expected.size();
    }
    const double wallNow =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    for (std::size_t i = 0; i < events.size(); ++i) {
        const TelemetryEvent& event = events[i];
        const bool same =
            event.kind == expected[i].kind &&
            (event.kind == TelemetryEvent::Kind::Sample
                 ? sameSample(event.sample, expected[i].sample) && event.status.empty()
                 : event.status.size() == 8 && event.status.at("stat") == expected[i].stat);
        if (!same) {
            return ::testing::AssertionFailure()
                   << "event " << i << " differs: kind " << static_cast<int>(event.kind) << ", J1 "
                   << event.sample.joints[0] << ", expected kind "
                   << static_cast<int>(expected[i].kind) << ", J1 " << expected[i].sample.joints[0];
        }
        if ((i > 0 && event.monotonicSeconds < events[i - 1].monotonicSeconds) ||
            std::abs(event.wallSeconds - wallNow) > 30.0) {
            return ::testing::AssertionFailure() << "event " << i << " has a bad receive time";
        }
    }
    return ::testing::AssertionSuccess();
}

TEST(TelemetrySubscriptions, EveryoneGetsEverythingInOrderWhileALaggardDropsItsOldest) {
    TelemetryPeer peer;
    peer.setGreeting({packetOf(sampleFrom(0))});
    EthernetReceiveInterface receiver;
    expectRuntimeError([&] { receiver.subscribe(); },
                       "Cannot subscribe: the Epson telemetry receiver is not connected");
    receiver.connect(kLoopback, peer.port());
    EXPECT_THROW(receiver.subscribe(0), std::invalid_argument);
    EXPECT_THROW(receiver.subscribe(EthernetReceiveInterface::kMaxSubscriptionCapacity + 1),
                 std::invalid_argument);

    auto drained = receiver.subscribe();
    auto unread = receiver.subscribe();
    constexpr std::size_t kLaggardCapacity = 5;
    auto laggard = receiver.subscribe(kLaggardCapacity);
    auto forgotten = receiver.subscribe(8);
    forgotten.reset();  // a subscription nobody holds ends; the others go on

    // One consumer pops as things arrive, from its own thread.
    std::vector<TelemetryEvent> live;
    std::thread consumer([&] { live = popEvents(*drained, 0 + 400 + 400 / 7); });
    const std::vector<Published> published = sendMixedStream(peer, 400);
    consumer.join();

    EXPECT_TRUE(matches(live, published));
    EXPECT_TRUE(matches(popEvents(*unread, published.size()), published));
    EXPECT_EQ(drained->dropped(), 0u);
    EXPECT_EQ(unread->dropped(), 0u);
    EXPECT_FALSE(unread->pop(0ms)) << "nothing beyond what was published";
    EXPECT_TRUE(currentSampleIs(receiver, sampleFrom(400))) << "the latest sample stays fresh";

    // The last pop of the others may come before the receiver reached the laggard.
    EXPECT_TRUE(
        pollUntil([&] { return laggard->dropped() == published.size() - kLaggardCapacity; }, 2s));
    EXPECT_TRUE(
        matches(popEvents(*laggard, kLaggardCapacity),
                std::vector<Published>(published.end() - kLaggardCapacity, published.end())))
        << "the oldest go first";

    // A disconnect ends every subscription: a waiting pop wakes, what is queued stays
    // readable, and then the queue reports its end at once.
    ASSERT_TRUE(peer.sendPacket(packetOf(sampleFrom(500))));
    ASSERT_TRUE(pollUntil([&] { return currentSampleIs(receiver, sampleFrom(500)); }, 2s));
    {
        // The latest sample comes with its own receive time, the one its event carries.
        const TelemetryEvent timed = receiver.getTimedSample();
        const std::vector<TelemetryEvent> last = popEvents(*drained, 1);
        ASSERT_EQ(last.size(), 1u);
        EXPECT_TRUE(sameSample(timed.sample, sampleFrom(500)));
        EXPECT_EQ(timed.monotonicSeconds, last[0].monotonicSeconds);
        EXPECT_NEAR(timed.wallSeconds, last[0].wallSeconds, 0.002);
    }
    std::optional<TelemetryEvent> waited = TelemetryEvent{};
    std::thread waiter([&] { waited = laggard->pop(std::chrono::hours(1)); });
    std::this_thread::sleep_for(50ms);  // lets the waiter block; the test holds either way
    receiver.disconnect();
    waiter.join();
    EXPECT_TRUE(unread->closed());
    ASSERT_TRUE(waited.has_value()) << "the sample queued before the disconnect";
    EXPECT_TRUE(sameSample(waited->sample, sampleFrom(500)));
    const auto start = Clock::now();
    EXPECT_FALSE(laggard->pop(std::chrono::hours(1)));
    EXPECT_LT(secondsSince(start), 1.0);
    EXPECT_EQ(popEvents(*unread, 10).size(), 1u);
    expectRuntimeError([&] { receiver.subscribe(); },
                       "Cannot subscribe: the Epson telemetry receiver is not connected");

    // close() wakes a waiter just the same.
    receiver.connect(kLoopback, peer.port());
    auto closing = receiver.subscribe();
    std::thread closer([&] {
        std::this_thread::sleep_for(50ms);
        closing->close();
    });
    const auto closeStart = Clock::now();
    while (closing->pop(std::chrono::hours(1))) {
        // the greeting's sample
    }
    EXPECT_LT(secondsSince(closeStart), 1.0);
    closer.join();
    EXPECT_TRUE(closing->closed());
}

// CPU time of this thread, which a busy machine's preemption does not inflate.
std::chrono::nanoseconds threadCpuTime() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

// The queue against a plain model, with random sizes and random reads: order, exact drop
// counts by kind, and no append that costs more than a small one, however large the queue
// has grown (the receiver appends under its locks, so such a cost stalls every reader).
TEST(TelemetrySubscriptions, QueueKeepsOrderAndCountsAndNeverStallsTheReceiver) {
    std::mt19937 random(20261208);
    const ControllerStatus status{{"stat", 1}};
    for (const std::size_t capacity :
         {std::size_t{1}, std::size_t{5}, std::size_t{256}, std::size_t{257}, std::size_t{1000}}) {
        SCOPED_TRACE("capacity " + std::to_string(capacity));
        TelemetrySubscription::Impl queue(capacity);
        std::deque<std::pair<TelemetryEvent::Kind, double>> model;
        std::uint64_t dropped = 0;
        std::uint64_t droppedSamples = 0;
        for (int i = 0; i < 10000; ++i) {
            if (random() % 3 != 0) {
                const auto kind =
                    random() % 4 == 0 ? TelemetryEvent::Kind::Status : TelemetryEvent::Kind::Sample;
                ASSERT_TRUE(queue.publish(kind, sampleFrom(i), status, {double(i), 0.0}));
                model.emplace_back(kind, double(i));
                if (model.size() > capacity) {
                    ++dropped;
                    droppedSamples += model.front().first == TelemetryEvent::Kind::Sample;
                    model.pop_front();
                }
            } else {
                const std::size_t reads = random() % 40;
                for (std::size_t r = 0; r < reads; ++r) {
                    std::optional<TelemetryEvent> event = queue.pop(0ns);
                    ASSERT_EQ(event.has_value(), !model.empty());
                    if (!event) {
                        break;
                    }
                    ASSERT_EQ(event->kind, model.front().first);
                    ASSERT_EQ(event->monotonicSeconds, model.front().second);
                    ASSERT_EQ(event->status.empty(), event->kind == TelemetryEvent::Kind::Sample);
                    model.pop_front();
                }
            }
        }
        EXPECT_EQ(queue.dropped(), dropped);
        EXPECT_EQ(queue.droppedSamples(), droppedSamples);
    }

    // An unread queue of 2^22 entries, filled past the size where growing by copying would
    // move 2^17 entries in one append.
    TelemetrySubscription::Impl unread(std::size_t{1} << 22);
    std::chrono::nanoseconds slowest{0};
    for (int i = 0; i < 140000; ++i) {
        const auto before = threadCpuTime();
        unread.publish(TelemetryEvent::Kind::Sample, sampleFrom(i), {}, {double(i), 0.0});
        slowest = std::max(slowest, threadCpuTime() - before);
    }
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    // Instrumented allocation costs more; a copy of 2^17 entries still costs far more than this.
    constexpr auto kBound = 20ms;
#else
    constexpr auto kBound = 2ms;
#endif
    EXPECT_LT(slowest, kBound) << "one append took " << slowest.count() << " ns of CPU";
}

std::vector<std::string> splitCsv(const std::string& line) {
    std::vector<std::string> cells;
    std::stringstream stream(line);
    std::string cell;
    while (std::getline(stream, cell, ',')) {
        cells.push_back(cell);
    }
    if (!line.empty() && line.back() == ',') {
        cells.emplace_back();
    }
    return cells;
}

std::vector<std::string> linesOf(const std::string& path) {
    std::ifstream file(path);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(file, line)) {
        lines.push_back(line);
    }
    return lines;
}

class TemporaryDirectory {
  public:
    TemporaryDirectory() {
        std::string pattern = ::testing::TempDir() + "telemetry-XXXXXX";
        if (::mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    ~TemporaryDirectory() {
        if (!path_.empty()) {
            std::system(("rm -rf '" + path_ + "'").c_str());
        }
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

TEST(TelemetryRecording, OneRowPerSampleAndStatusReadableWhileItRuns) {
    TelemetryPeer peer;
    peer.setGreeting({packetOf(sampleFrom(0)), test::telemetryStatusPacket(3, 0, 21, 0, 0)});
    EthernetReceiveInterface receiver;
    const TemporaryDirectory directory;
    const std::string path = directory.file("run.csv");

    expectRuntimeError([&] { receiver.stopRecording(); }, "No telemetry recording is running");
    const std::string missing = directory.file("no/such/dir.csv");
    expectRuntimeError(
        [&] { receiver.startRecording(missing); },
        "Cannot open the telemetry recording file \"" + missing + "\": No such file or directory");
    expectRuntimeError([&] { receiver.startRecording("/dev/full"); },
                       "Cannot write the telemetry recording file \"/dev/full\": No space left "
                       "on device");
    EXPECT_FALSE(receiver.isRecording());

    receiver.connect(kLoopback, peer.port());
    ASSERT_TRUE(pollUntil([&] { return receiver.hasControllerStatus(); }, 2s));
    receiver.startRecording(path);
    EXPECT_TRUE(receiver.isRecording());
    expectRuntimeError([&] { receiver.startRecording(directory.file("other.csv")); },
                       "A telemetry recording is already running, to \"" + path + "\"");

    const std::vector<Published> published = sendMixedStream(peer, 300);
    // Whole rows reach the file while the recording runs, without a stop to flush them.
    ASSERT_TRUE(pollUntil([&] { return linesOf(path).size() == published.size() + 1; }, 3s));
    const RecordingSummary summary = receiver.stopRecording();
    EXPECT_FALSE(receiver.isRecording());
    EXPECT_EQ(summary.path, path);
    EXPECT_EQ(summary.rows, published.size());
    EXPECT_EQ(summary.lost, 0u);

    const std::vector<std::string> lines = linesOf(path);
    ASSERT_EQ(lines.size(), published.size() + 1);
    EXPECT_EQ(lines[0] + "\n", kRecordingHeader);
    const std::regex timeColumns(R"(\d+\.\d{6},\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z)");
    std::int64_t stat = 3;  // the status from before the recording, until one of its own
    double lastMonotonic = 0.0;
    for (std::size_t i = 0; i < published.size(); ++i) {
        SCOPED_TRACE("row " + std::to_string(i + 1) + ": " + lines[i + 1]);
        const std::vector<std::string> cells = splitCsv(lines[i + 1]);
        ASSERT_EQ(cells.size(), 23u);
        EXPECT_TRUE(std::regex_match(cells[0] + "," + cells[1], timeColumns));
        EXPECT_GE(std::stod(cells[0]), lastMonotonic);
        lastMonotonic = std::stod(cells[0]);
        const Published& expected = published[i];
        EXPECT_EQ(cells[22], expected.kind == TelemetryEvent::Kind::Sample ? "sample" : "status");
        if (expected.kind == TelemetryEvent::Kind::Sample) {
            TelemetrySample sample;
            for (std::size_t k = 0; k < 6; ++k) {
                sample.joints[k] = std::strtod(cells[2 + k].c_str(), nullptr);
                sample.tcpPose[k] = std::strtod(cells[8 + k].c_str(), nullptr);
            }
            EXPECT_TRUE(sameSample(sample, expected.sample)) << "values read back exactly";
        } else {
            for (std::size_t k = 2; k < 14; ++k) {
                EXPECT_EQ(cells[k], "");
            }
            stat = expected.stat;
        }
        // stat, system_error, emergency_stopped, safeguard_open, teach_mode, control_device,
        // robot_info, ctrl_info: the latest status on every row.
        const std::int64_t ctrlInfo = stat == 3 ? 0 : 256 * (stat % 2);
        const std::vector<std::string> status{std::to_string(stat),
                                              "0",
                                              std::to_string((ctrlInfo >> 8) & 1),
                                              "0",
                                              std::to_string((stat >> 19) & 1),
                                              "21",
                                              "0",
                                              std::to_string(ctrlInfo)};
        EXPECT_EQ(std::vector<std::string>(cells.begin() + 14, cells.begin() + 22), status);
    }

    // A write that fails later (here: the file-size limit) is reported by the stop, never
    // passed off as a complete file.
    {
        rlimit original{};
        ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &original), 0);
        const auto previousHandler = ::signal(SIGXFSZ, SIG_IGN);
        const rlimit small{4096, original.rlim_max};
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
        const std::string limited = directory.file("limited.csv");
        receiver.startRecording(limited);
        const std::size_t sent = sendMixedStream(peer, 100).size();
        ASSERT_TRUE(pollUntil([&] { return currentSampleIs(receiver, sampleFrom(100)); }, 2s));
        try {
            receiver.stopRecording();
            ADD_FAILURE() << "a failed write must not pass for a complete recording";
        } catch (const std::runtime_error& error) {
            std::smatch counts;
            const std::string message = error.what();
            ASSERT_TRUE(std::regex_match(
                message, counts,
                std::regex("Failed to write the telemetry recording file \"" + limited +
                           "\" after (\\d+) rows \\((\\d+) lost\\): File too large")))
                << message;
            EXPECT_EQ(std::stoul(counts[1]) + std::stoul(counts[2]), sent);
            std::ifstream file(limited);
            const std::string text{std::istreambuf_iterator<char>(file), {}};
            EXPECT_GT(std::stoul(counts[1]), 0u) << "the rows before the failure count";
            EXPECT_EQ(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')),
                      std::stoul(counts[1]) + 1)
                << "every row counted is complete in the file";
        }
        ::setrlimit(RLIMIT_FSIZE, &original);
        ::signal(SIGXFSZ, previousHandler);
        EXPECT_FALSE(receiver.isRecording());
    }

    // A recording started before any status leaves the status columns empty, and goes on
    // across a disconnect until it is stopped.
    EthernetReceiveInterface fresh;
    const std::string second = directory.file("second.csv");
    fresh.startRecording(second);
    peer.setGreeting({packetOf(sampleFrom(7))});
    fresh.connect(kLoopback, peer.port());
    fresh.disconnect();
    EXPECT_TRUE(fresh.isRecording());
    const RecordingSummary secondSummary = fresh.stopRecording();
    EXPECT_EQ(secondSummary.rows, 1u);
    const std::vector<std::string> secondLines = linesOf(second);
    ASSERT_EQ(secondLines.size(), 2u);
    EXPECT_TRUE(secondLines[1].ends_with(",,,,,,,,,sample")) << secondLines[1];
}

// Starts that lose a race change nothing on disk; a file that stops taking data (a FIFO whose
// reader stalls) holds up neither the receiver nor the stop, and what it missed is counted.
TEST(TelemetryRecording, RefusedStartsTouchNothingAndAStalledFileCannotHoldTheStop) {
    TelemetryPeer peer;
    peer.setGreeting({packetOf(sampleFrom(0))});
    EthernetReceiveInterface receiver;
    receiver.connect(kLoopback, peer.port());
    const TemporaryDirectory directory;
    const std::string userData = "user data, not a recording\n";

    for (int round = 0; round < 30; ++round) {
        std::array<std::string, 2> paths{directory.file("a.csv"), directory.file("b.csv")};
        for (const std::string& path : paths) {
            std::ofstream(path) << userData;
        }
        std::atomic<int> ready{0};
        std::array<bool, 2> started{};
        std::vector<std::thread> starters;
        for (std::size_t i = 0; i < 2; ++i) {
            starters.emplace_back([&, i] {
                ++ready;
                while (ready.load() < 2) {
                }
                try {
                    receiver.startRecording(paths[i]);
                    started[i] = true;
                } catch (const std::runtime_error&) {
                }
            });
        }
        for (auto& starter : starters) {
            starter.join();
        }
        ASSERT_NE(started[0], started[1]) << "exactly one start wins";
        const std::string& refused = started[0] ? paths[1] : paths[0];
        std::ifstream file(refused);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), userData)
            << "round " << round << ": a refused start changed its file";
        receiver.stopRecording();
    }

    const std::string fifo = directory.file("stalled.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // A reader that opens and then reads nothing while the test wants the pipe full.
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    receiver.startRecording(fifo);
    int sent = 0;
    for (; sent < 3000; ++sent) {  // ~300 KB of rows, far beyond a pipe's 64 KiB
        ASSERT_TRUE(peer.sendPacket(packetOf(sampleFrom(sent + 1))));
    }
    ASSERT_TRUE(pollUntil([&] { return currentSampleIs(receiver, sampleFrom(sent)); }, 5s))
        << "the receiver goes on while the file takes nothing";

    std::atomic<bool> stopped{false};
    std::optional<std::string> failure;
    std::thread stopper([&] {
        try {
            receiver.stopRecording();
        } catch (const std::runtime_error& error) {
            failure = error.what();
        }
        stopped = true;
    });
    const auto stopStart = Clock::now();
    const bool bounded = pollUntil([&] { return stopped.load(); }, 5s);
    EXPECT_TRUE(bounded) << "stopRecording() waits for a file that takes nothing";
    if (!bounded) {
        // Unblocks the old writer so that the test can end.
        std::array<char, 4096> drain{};
        while (!stopped.load()) {
            (void)::read(reader, drain.data(), drain.size());
        }
    }
    stopper.join();
    EXPECT_LT(secondsSince(stopStart), 3.0);
    ASSERT_TRUE(failure.has_value()) << "a recording that lost rows is not reported as whole";
    std::smatch counts;
    ASSERT_TRUE(std::regex_match(*failure, counts,
                                 std::regex("Failed to write the telemetry recording file \"" +
                                            fifo + "\" after (\\d+) rows \\((\\d+) lost\\): .*")))
        << *failure;
    EXPECT_EQ(std::stoul(counts[1]) + std::stoul(counts[2]), static_cast<std::size_t>(sent));
    EXPECT_GT(std::stoul(counts[2]), 0u);
    ::close(reader);
    EXPECT_FALSE(receiver.isRecording());
}

}  // namespace
}  // namespace epson
