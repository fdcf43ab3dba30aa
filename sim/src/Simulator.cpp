// The Simulator facade: validates what it is given, keeps the state that outlives a start and
// stop (Shared), and runs what must happen on the I/O thread there (Server.hpp).

#include "epson_sim/Simulator.hpp"

#include <cmath>
#include <functional>
#include <future>
#include <iostream>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "Server.hpp"
#include "epson_sim/Script.hpp"
#include "sim_text.hpp"

namespace epson::sim {
namespace {

using detail::Clock;
using detail::Rule;
using detail::RuleAction;
using detail::Server;
using detail::Shared;
namespace asio = boost::asio;

}  // namespace

// ---- Simulator ----

struct Simulator::Impl {
    explicit Impl(SimulatorOptions options) : shared(std::move(options)) {}

    // Runs f on the I/O thread and waits for it; without a running server, f(nullptr) here. On
    // the I/O thread itself (a control directive) f runs at once: waiting would deadlock.
    void onIoThread(const std::function<void(Server*)>& f) {
        if (std::this_thread::get_id() == ioThread.load()) {
            f(ioServer);
            return;
        }
        std::lock_guard lock(lifecycleMutex);
        if (!server) {
            f(nullptr);
            return;
        }
        std::promise<void> done;
        auto finished = done.get_future();
        asio::post(server->io(), [&] {
            try {
                f(server.get());
                done.set_value();
            } catch (...) {
                done.set_exception(std::current_exception());
            }
        });
        finished.get();
    }

    // f(controller) under the state lock.
    template <class F>
    auto read(F f) const {
        std::lock_guard lock(shared.stateMutex);
        return f(shared.controller);
    }

    void addRule(Rule rule) { shared.rules.add(std::move(rule)); }

    Shared shared;
    mutable std::mutex lifecycleMutex;
    std::unique_ptr<Server> server;
    std::thread thread;
    // Set before the I/O thread starts and cleared after it ends.
    std::atomic<std::thread::id> ioThread{};
    Server* ioServer = nullptr;
};

namespace {

void validate(const SimulatorOptions& o) {
    const auto require = [](bool ok, const char* what) {
        if (!ok) {
            throw std::invalid_argument(what);
        }
    };
    require(std::isfinite(o.timeScale) && o.timeScale >= 1e-4 && o.timeScale <= 1e4,
            "time scale must be between 0.0001 and 10000");
    require(std::isfinite(o.telemetryRateHz) && o.telemetryRateHz >= 0.1 &&
                o.telemetryRateHz <= 10000.0,
            "telemetry rate must be between 0.1 and 10000 Hz");
    const auto hours = std::chrono::hours(24 * 365);
    require(o.loginTimeout.count() >= 0 && o.loginTimeout <= hours,
            "login time-out must be between 0 and a year");
    require(o.idleTimeout.count() >= 0 && o.idleTimeout <= hours,
            "idle time-out must be between 0 and a year");
    require(o.controlIdleTimeout.count() >= 0 && o.controlIdleTimeout <= hours,
            "control idle time-out must be between 0 and a year");
    require(o.writeTimeout.count() >= 0 && o.writeTimeout <= hours,
            "write time-out must be between 0 and a year");
    require(o.maxReplyBacklog >= 64 * 1024 && o.maxReplyBacklog <= (std::size_t{1} << 30),
            "reply backlog must be between 64 KiB and 1 GiB");
    require(o.logCapacity >= 1 && o.logCapacity <= 10'000'000,
            "the command log capacity must be between 1 and 10000000 lines");
    require(o.logBytes >= 64 * 1024 && o.logBytes <= (std::size_t{1} << 30),
            "log bytes must be between 64 KiB and 1 GiB");
    require(!o.host.empty() && !o.controlHost.empty(), "a host must not be empty");
}

}  // namespace

Simulator::Simulator(SimulatorOptions options) {
    validate(options);
    impl_ = std::make_unique<Impl>(std::move(options));
}

Simulator::~Simulator() {
    stop();
}

void Simulator::start() {
    std::lock_guard lock(impl_->lifecycleMutex);
    if (impl_->server) {
        throw std::logic_error("the simulator is already running");
    }
    auto server = std::make_unique<Server>(impl_->shared, [this](const std::string& line) {
        try {
            return runScriptLine(*this, line);
        } catch (const std::exception& e) {
            return std::string("error: ") + e.what();
        }
    });
    Server* raw = server.get();
    asio::post(raw->io(), [raw] { raw->begin(); });
    impl_->ioServer = raw;
    impl_->server = std::move(server);
    std::promise<void> running;
    auto started = running.get_future();
    impl_->thread = std::thread([this, raw, &running] {
        impl_->ioThread = std::this_thread::get_id();
        running.set_value();
        // A handler that throws must not take the whole process down; serving goes on.
        for (;;) {
            try {
                raw->io().run();
                return;
            } catch (const std::exception& e) {
                std::cerr << "epson-sim: I/O handler failed: " << e.what() << std::endl;
            }
        }
    });
    started.wait();
}

void Simulator::stop() {
    std::lock_guard lock(impl_->lifecycleMutex);
    if (!impl_->server) {
        return;
    }
    Server* raw = impl_->server.get();
    asio::post(raw->io(), [raw] { raw->shutdown(); });
    impl_->thread.join();
    impl_->ioThread = std::thread::id{};
    impl_->ioServer = nullptr;
    impl_->server.reset();
    impl_->shared.commandConnected = false;
    impl_->shared.loggedIn = false;
    impl_->shared.telemetryClients = 0;
}

bool Simulator::running() const {
    std::lock_guard lock(impl_->lifecycleMutex);
    return impl_->server != nullptr;
}

std::uint16_t Simulator::commandPort() const {
    return impl_->shared.commandPort;
}
std::uint16_t Simulator::telemetryPort() const {
    return impl_->shared.telemetryPort;
}
std::uint16_t Simulator::controlPort() const {
    return impl_->shared.controlPort;
}
std::string Simulator::commandAddress() const {
    std::lock_guard lock(impl_->lifecycleMutex);
    return impl_->shared.commandAddress;
}
std::string Simulator::telemetryAddress() const {
    std::lock_guard lock(impl_->lifecycleMutex);
    return impl_->shared.telemetryAddress;
}
std::string Simulator::controlAddress() const {
    std::lock_guard lock(impl_->lifecycleMutex);
    return impl_->shared.controlAddress;
}
const SimulatorOptions& Simulator::options() const {
    return impl_->shared.options;
}

std::vector<std::string> Simulator::commandLog() const {
    return impl_->shared.log.lines();
}
void Simulator::clearLog() {
    impl_->shared.log.clear();
}
void Simulator::setLogCapacity(std::size_t lines) {
    impl_->shared.log.setCapacity(lines);
}
std::size_t Simulator::logCapacity() const {
    return impl_->shared.log.capacity();
}

std::optional<std::string> Simulator::waitForCommand(const std::string& pattern,
                                                     std::chrono::milliseconds timeout,
                                                     MatchMode mode, std::size_t from) const {
    return impl_->shared.log.waitFor(pattern, timeout, mode, from);
}

void Simulator::delayReply(const std::string& pattern, std::chrono::milliseconds delay,
                           MatchMode mode, std::optional<int> times) {
    if (delay.count() < 0 || delay > std::chrono::hours(24 * 365)) {
        throw std::invalid_argument("delay must be between 0 and a year");
    }
    Rule rule = detail::makeRule(pattern, mode, RuleAction::Delay, times);
    rule.delay = delay;
    impl_->addRule(std::move(rule));
}

void Simulator::answer(const std::string& pattern, const std::string& reply, MatchMode mode,
                       std::optional<int> times, bool raw) {
    Rule rule = detail::makeRule(pattern, mode, RuleAction::Answer, times);
    rule.bytes = raw ? reply : detail::wireLines(reply);
    impl_->addRule(std::move(rule));
}

void Simulator::goSilent(const std::string& pattern, MatchMode mode, std::optional<int> times) {
    impl_->addRule(detail::makeRule(pattern, mode, RuleAction::Silent, times));
}

void Simulator::dropConnection(const std::string& pattern, MatchMode mode, std::optional<int> times,
                               bool abortive) {
    impl_->addRule(
        detail::makeRule(pattern, mode, abortive ? RuleAction::Reset : RuleAction::Drop, times));
}

void Simulator::executeThenDrop(const std::string& pattern, MatchMode mode,
                                std::optional<int> times, bool abortive) {
    impl_->addRule(detail::makeRule(
        pattern, mode, abortive ? RuleAction::ExecuteReset : RuleAction::ExecuteDrop, times));
}

void Simulator::executeThenAnswer(const std::string& pattern, const std::string& reply,
                                  MatchMode mode, std::optional<int> times, bool raw) {
    Rule rule = detail::makeRule(pattern, mode, RuleAction::ExecuteAnswer, times);
    rule.bytes = raw ? reply : detail::wireLines(reply);
    impl_->addRule(std::move(rule));
}

void Simulator::splitReplies(int segments, std::chrono::milliseconds gap) {
    impl_->shared.rules.setSplit(segments, gap);
}

void Simulator::coalesceReplies(bool on) {
    impl_->shared.rules.setCoalesce(on);
}

void Simulator::clearRules() {
    impl_->shared.rules.clear();
}

void Simulator::setEmergencyStop(bool on) {
    impl_->onIoThread([&](Server* server) {
        if (server) {
            server->setEmergencyStop(on);
        } else {
            std::lock_guard state(impl_->shared.stateMutex);
            impl_->shared.controller.setEmergencyStop(on);
        }
    });
}

void Simulator::setSafeguardOpen(bool open) {
    std::lock_guard lock(impl_->shared.stateMutex);
    impl_->shared.controller.safeguardOpen = open;
}

void Simulator::setTeachMode(bool on) {
    std::lock_guard lock(impl_->shared.stateMutex);
    impl_->shared.controller.teachMode = on;
}

void Simulator::setTelemetryMode(TelemetryMode mode) {
    impl_->onIoThread([&](Server* server) {
        if (server) {
            server->applyTelemetryMode(mode);
        } else {
            impl_->shared.telemetryMode = mode;
        }
    });
}

TelemetryMode Simulator::telemetryMode() const {
    return impl_->shared.telemetryMode;
}

bool Simulator::dropCommandConnection(bool abortive) {
    bool dropped = false;
    impl_->onIoThread(
        [&](Server* server) { dropped = server && server->dropCommandConnection(abortive); });
    return dropped;
}

void Simulator::setCommandConnectionsRefused(bool refused) {
    impl_->onIoThread([&](Server* server) {
        if (server) {
            server->setCommandRefused(refused);
        } else {
            impl_->shared.commandRefused = refused;
        }
    });
}

void Simulator::setStrictExecute(bool on) {
    impl_->shared.strictExecute = on;
}

bool Simulator::failMotion(int code) {
    if (code < 0 || code > 9999) {
        throw std::out_of_range("reply code must be between 0 and 9999");
    }
    bool failed = false;
    impl_->onIoThread([&](Server* server) {
        if (server) {
            failed = server->failMotion(code);
        }
    });
    return failed;
}

void Simulator::setSystemError(int code) {
    if (code < 0 || code > 9999) {
        throw std::out_of_range("system error code must be between 0 and 9999");
    }
    std::lock_guard lock(impl_->shared.stateMutex);
    impl_->shared.controller.systemError = code;
}

void Simulator::setStatusOverride(StatusWord word, std::optional<std::int64_t> value) {
    std::lock_guard lock(impl_->shared.stateMutex);
    auto& c = impl_->shared.controller;
    (word == StatusWord::Stat        ? c.statOverride
     : word == StatusWord::RobotInfo ? c.robotInfoOverride
                                     : c.ctrlInfoOverride) = value;
}

namespace {
std::size_t inputBit(int bit) {
    if (bit < 0 || static_cast<std::size_t>(bit) >= detail::kInputBits) {
        throw std::out_of_range("input bit must be between 0 and " +
                                std::to_string(detail::kInputBits - 1));
    }
    return static_cast<std::size_t>(bit);
}
}  // namespace

void Simulator::setInput(int bit, bool on) {
    const std::size_t index = inputBit(bit);
    impl_->onIoThread([&](Server* server) {
        {
            std::lock_guard lock(impl_->shared.stateMutex);
            impl_->shared.controller.inputs.set(index, on);
        }
        if (server) {
            server->inputsChanged();
        }
    });
}

bool Simulator::input(int bit) const {
    const std::size_t index = inputBit(bit);
    return impl_->read([&](const detail::Controller& c) {
        return c.io.inputsAt(c.inputs, detail::Clock::now()).test(index);
    });
}

bool Simulator::output(int bit) const {
    const std::size_t index = inputBit(bit);  // outputs are numbered as the inputs are
    return impl_->read([&](const detail::Controller& c) { return c.io.output(index); });
}

void Simulator::tieInput(int outputBit, int inputBit_, std::chrono::milliseconds delay,
                         bool inverted) {
    // One bound for C++, Python and scripts: a sensor answers within a minute or not at all.
    if (delay < std::chrono::milliseconds(0) || delay > std::chrono::seconds(60)) {
        throw std::invalid_argument("a tie's delay must be between 0 and 60 seconds");
    }
    const detail::InputTie tie{inputBit(outputBit), inputBit(inputBit_), delay, inverted};
    std::lock_guard lock(impl_->shared.stateMutex);
    impl_->shared.controller.io.tie(tie);
}

void Simulator::clearInputTies() {
    std::lock_guard lock(impl_->shared.stateMutex);
    impl_->shared.controller.io.clearTies();
}

void Simulator::sendTelemetryRaw(const std::string& bytes) {
    impl_->onIoThread([&](Server* server) {
        if (server) {
            server->sendTelemetryRaw(bytes);
        }
    });
}

namespace {
std::string pointKey(const std::string& name) {
    const auto key = detail::pointKey(name);
    if (!key) {
        throw std::invalid_argument("point name must be P(n) or an identifier: \"" + name + "\"");
    }
    return *key;
}
constexpr const char* kPointMemoryFull = "the point memory is full: at most 1000 points";
void requireStorable(const std::array<double, 6>& values) {
    if (!detail::storable(values)) {
        throw std::invalid_argument("values must be finite and within +-1e6");
    }
}
}  // namespace

void Simulator::setPoint(const std::string& name, const Pose& pose) {
    requireStorable(pose);
    const std::string key = pointKey(name);
    std::lock_guard lock(impl_->shared.stateMutex);
    if (!impl_->shared.controller.assignPoint(key, pose)) {
        throw std::length_error(kPointMemoryFull);
    }
}

void Simulator::setJointPoint(const std::string& name, const Joints& joints) {
    requireStorable(joints);
    const std::string key = pointKey(name);
    std::lock_guard lock(impl_->shared.stateMutex);
    if (!impl_->shared.controller.assignJointPoint(key, joints)) {
        throw std::length_error(kPointMemoryFull);
    }
}

void Simulator::setJoints(const Joints& joints) {
    std::lock_guard lock(impl_->shared.stateMutex);
    auto& controller = impl_->shared.controller;
    if (controller.moving()) {
        throw std::logic_error("cannot place the arm while a motion runs");
    }
    if (!controller.model().withinLimits(joints)) {
        throw std::out_of_range("joint angles outside the limits");
    }
    controller.setJoints(joints);
}

ControllerSnapshot Simulator::snapshot() const {
    std::lock_guard lock(impl_->shared.stateMutex);
    ControllerSnapshot s = impl_->shared.controller.snapshot(Clock::now());
    s.loggedIn = impl_->shared.loggedIn;
    return s;
}

Joints Simulator::joints() const {
    return impl_->read([](const detail::Controller& c) { return c.joints(Clock::now()); });
}
Pose Simulator::pose() const {
    return impl_->read([](const detail::Controller& c) { return c.tcp(c.joints(Clock::now())); });
}
bool Simulator::motorsOn() const {
    return impl_->read([](const detail::Controller& c) { return c.motorsOn; });
}
int Simulator::power() const {
    return impl_->read([](const detail::Controller& c) { return c.power; });
}
int Simulator::tool() const {
    return impl_->read([](const detail::Controller& c) { return c.tool; });
}
std::optional<Pose> Simulator::toolDefinition(int tool) const {
    if (tool < 1 || tool > 15) {
        throw std::out_of_range("Tool number must be between 1 and 15");
    }
    return impl_->read(
        [tool](const detail::Controller& c) { return c.tools[static_cast<std::size_t>(tool)]; });
}
bool Simulator::emergencyStop() const {
    return impl_->read([](const detail::Controller& c) { return c.emergencyStop; });
}
int Simulator::systemError() const {
    return impl_->read([](const detail::Controller& c) { return c.systemError; });
}
bool Simulator::moving() const {
    return impl_->read([](const detail::Controller& c) { return c.moving(); });
}
bool Simulator::paused() const {
    return impl_->read([](const detail::Controller& c) { return c.paused(); });
}
bool Simulator::loggedIn() const {
    return impl_->shared.loggedIn;
}

std::optional<MotionRecord> Simulator::lastMotion() const {
    std::lock_guard lock(impl_->shared.stateMutex);
    return impl_->shared.controller.lastMotion();
}

std::string Simulator::lastRefusal() const {
    std::lock_guard lock(impl_->shared.stateMutex);
    return impl_->shared.lastRefusal;
}

std::size_t Simulator::telemetryClientCount() const {
    return impl_->shared.telemetryClients;
}
std::uint64_t Simulator::telemetrySamplesSent() const {
    return impl_->shared.telemetrySamplesSent;
}
bool Simulator::commandClientConnected() const {
    return impl_->shared.commandConnected;
}
std::size_t Simulator::refusedCommandConnections() const {
    return impl_->shared.refusedConnections;
}

}  // namespace epson::sim
