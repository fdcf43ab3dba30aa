// The simulator's server: owns the I/O thread, the command listener and its one session, the
// telemetry server and the motion timer, and joins them to the controller state. The parts
// live beside it: Dispatch (what a command does), CommandSession (the wire), ReplyRules,
// CommandLog and TelemetryServer.

#include "epson_sim/Simulator.hpp"

// <utility> first: Boost 1.74's awaitable.hpp uses std::exchange without including it.
#include <utility>

#include <boost/asio.hpp>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <future>
#include <iostream>
#include <mutex>
#include <regex>
#include <stdexcept>
#include <thread>

#include "CommandLog.hpp"
#include "CommandSession.hpp"
#include "Controller.hpp"
#include "Dispatch.hpp"
#include "ReplyRules.hpp"
#include "TelemetryServer.hpp"
#include "sim_text.hpp"

namespace epson::sim {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using detail::Clock;
using detail::CommandSession;
using detail::Rule;
using detail::RuleAction;
using std::chrono::milliseconds;

// State that outlives any one start/stop: the controller, the log, the rules, the ports.
struct Shared {
    explicit Shared(SimulatorOptions o)
        : options(std::move(o)),
          controller(options.limits, options.timeScale),
          log(options.logCapacity),
          strictExecute(options.strictExecute) {}

    SimulatorOptions options;

    mutable std::mutex stateMutex;
    detail::Controller controller;
    std::string lastRefusal;

    detail::CommandLog log;
    detail::RuleBook rules;

    std::atomic<std::uint16_t> commandPort{0};
    std::atomic<std::uint16_t> telemetryPort{0};
    std::atomic<TelemetryMode> telemetryMode{TelemetryMode::Normal};
    std::atomic<std::size_t> telemetryClients{0};
    std::atomic<std::uint64_t> telemetrySamplesSent{0};
    std::atomic<std::size_t> refusedConnections{0};
    std::atomic<bool> commandConnected{false};
    std::atomic<bool> loggedIn{false};
    std::atomic<bool> strictExecute;
    std::atomic<bool> commandRefused{false};
};

// What becomes of a reply that a rule lets the command produce.
struct ReplyTreatment {
    milliseconds delay{0};
    RuleAction action = RuleAction::Delay;
    std::string bytes;
};

tcp::endpoint resolveEndpoint(asio::io_context& io, const std::string& host, std::uint16_t port) {
    tcp::resolver resolver(io);
    boost::system::error_code error;
    const auto results = resolver.resolve(
        host, std::to_string(port), tcp::resolver::passive | tcp::resolver::numeric_service, error);
    if (error || results.empty()) {
        throw std::runtime_error("epson-sim: cannot resolve " + host + ": " + error.message());
    }
    return results.begin()->endpoint();
}

// Everything bound to one run of the I/O thread. All methods but the constructor run on it.
class Server : public detail::SessionHost {
  public:
    explicit Server(Shared& shared);

    asio::io_context& io() { return io_; }
    void begin();
    void shutdown();

    void handleLine(const std::shared_ptr<CommandSession>& session,
                    const std::string& line) override;
    void sessionClosed(const CommandSession* session) override;
    detail::ReplyStyle replyStyle() const override { return shared_.rules.style(); }

    void setEmergencyStop(bool on);
    bool failMotion(int code);
    void inputsChanged();
    void applyTelemetryMode(TelemetryMode mode) { telemetry_->applyMode(mode); }
    void sendTelemetryRaw(const std::string& bytes) { telemetry_->sendRaw(bytes); }
    void dropCommandConnection(bool abortive) {
        if (session_) {
            session_->close(abortive);
        }
    }
    void setCommandRefused(bool refused);

  private:
    void deliver(const std::shared_ptr<CommandSession>& session, const std::string& bytes,
                 const ReplyTreatment& treatment);
    void armMotionTimer();
    void onMotionTimer();
    void sendMotionReply(const detail::MotionOutcome& outcome);
    void acceptCommand();
    std::string telemetryBytes(bool withSample, bool withStatus, bool garbled);

    Shared& shared_;
    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    tcp::acceptor commandAcceptor_;
    tcp::endpoint commandEndpoint_;
    std::unique_ptr<detail::TelemetryServer> telemetry_;
    asio::steady_timer motionTimer_;
    std::shared_ptr<CommandSession> session_;
    // Where the running motion's reply goes, and how.
    std::weak_ptr<CommandSession> motionSession_;
    ReplyTreatment motionTreatment_;
    bool stopping_ = false;
};

Server::Server(Shared& shared)
    : shared_(shared), work_(asio::make_work_guard(io_)), commandAcceptor_(io_), motionTimer_(io_) {
    const auto& o = shared_.options;
    // A restart keeps the ports of the first start, as a rebooted controller does.
    const std::uint16_t commandPort =
        shared_.commandPort ? shared_.commandPort.load() : o.commandPort;
    const std::uint16_t telemetryPort =
        shared_.telemetryPort ? shared_.telemetryPort.load() : o.telemetryPort;
    commandEndpoint_ = resolveEndpoint(io_, o.host, commandPort);
    try {
        detail::openListener(commandAcceptor_, commandEndpoint_);
    } catch (const boost::system::system_error& e) {
        throw std::runtime_error("epson-sim: cannot listen for commands on " + o.host + ":" +
                                 std::to_string(commandPort) + ": " + e.code().message());
    }
    commandEndpoint_ = commandAcceptor_.local_endpoint();
    const auto period = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1.0 / o.telemetryRateHz));
    telemetry_ = std::make_unique<detail::TelemetryServer>(
        io_, resolveEndpoint(io_, o.host, telemetryPort), period,
        detail::TelemetryContent{[this](bool withSample, bool withStatus, bool garbled) {
            return telemetryBytes(withSample, withStatus, garbled);
        }},
        shared_.telemetryMode, shared_.telemetryClients, shared_.telemetrySamplesSent);
    shared_.commandPort = commandEndpoint_.port();
    shared_.telemetryPort = telemetry_->port();
    if (shared_.commandRefused) {
        commandAcceptor_.close();
    }
}

void Server::begin() {
    acceptCommand();
    telemetry_->begin();
}

void Server::shutdown() {
    stopping_ = true;
    {
        std::lock_guard lock(shared_.stateMutex);
        shared_.controller.abortMotion(Clock::now(), reply_code::kSystemError);
    }
    boost::system::error_code ignored;
    motionTimer_.cancel();
    commandAcceptor_.close(ignored);
    if (session_) {
        session_->close();
    }
    telemetry_->shutdown();
    work_.reset();
    io_.stop();
}

void Server::setCommandRefused(bool refused) {
    shared_.commandRefused = refused;
    if (refused) {
        boost::system::error_code ignored;
        commandAcceptor_.close(ignored);
    } else if (!commandAcceptor_.is_open()) {
        try {
            detail::openListener(commandAcceptor_, commandEndpoint_);
        } catch (const boost::system::system_error& e) {
            boost::system::error_code ignored;
            commandAcceptor_.close(ignored);
            throw std::runtime_error("epson-sim: cannot listen for commands again on port " +
                                     std::to_string(commandEndpoint_.port()) + ": " +
                                     e.code().message());
        }
        acceptCommand();
    }
}

void Server::acceptCommand() {
    if (!commandAcceptor_.is_open()) {
        return;
    }
    commandAcceptor_.async_accept(
        [this](const boost::system::error_code& error, tcp::socket socket) {
            if (error) {
                if (!stopping_ && error != asio::error::operation_aborted &&
                    commandAcceptor_.is_open()) {
                    acceptCommand();
                }
                return;
            }
            if (session_ && session_->isOpen() && !session_->peerGone()) {
                // One client at a time, as the controller allows.
                ++shared_.refusedConnections;
                boost::system::error_code ignored;
                socket.shutdown(tcp::socket::shutdown_both, ignored);
                socket.close(ignored);
            } else {
                if (session_) {
                    session_->close();
                }
                boost::system::error_code ignored;
                socket.set_option(tcp::no_delay(true), ignored);
                const auto& o = shared_.options;
                session_ = std::make_shared<CommandSession>(
                    *this, std::move(socket),
                    detail::SessionLimits{o.maxReplyBacklog, o.loginTimeout, o.idleTimeout});
                shared_.commandConnected = true;
                session_->start();
            }
            acceptCommand();
        });
}

void Server::sessionClosed(const CommandSession* session) {
    if (session_.get() == session) {
        session_.reset();
        shared_.commandConnected = false;
        shared_.loggedIn = false;
    }
}

void Server::deliver(const std::shared_ptr<CommandSession>& session, const std::string& bytes,
                     const ReplyTreatment& treatment) {
    switch (treatment.action) {
        case RuleAction::ExecuteDrop:
        case RuleAction::ExecuteReset: {
            const bool abortive = treatment.action == RuleAction::ExecuteReset;
            session->after(treatment.delay, [session, abortive] { session->close(abortive); });
            return;
        }
        case RuleAction::ExecuteAnswer:
            session->send(treatment.bytes, treatment.delay);
            return;
        default:
            session->send(bytes, treatment.delay);
    }
}

void Server::handleLine(const std::shared_ptr<CommandSession>& session, const std::string& line) {
    shared_.log.record(line);
    ReplyTreatment treatment;
    if (const auto rule = shared_.rules.take(line)) {
        switch (rule->action) {
            case RuleAction::Answer:
                session->send(rule->bytes, milliseconds{0});
                return;
            case RuleAction::Silent:
                return;
            case RuleAction::Drop:
            case RuleAction::Reset:
                session->close(rule->action == RuleAction::Reset);
                return;
            default:
                treatment = ReplyTreatment{rule->delay, rule->action, rule->bytes};
        }
    }
    std::lock_guard lock(shared_.stateMutex);
    auto& controller = shared_.controller;
    const detail::DispatchSettings settings{shared_.options.password, shared_.strictExecute};
    const bool wasLoggedIn = session->loggedIn;
    const auto result =
        detail::dispatchLine(line, controller, session->loggedIn, settings, Clock::now());
    if (session->loggedIn != wasLoggedIn) {
        shared_.loggedIn = session->loggedIn;
    }
    if (!result.refusal.empty()) {
        shared_.lastRefusal = line + ": " + result.refusal;
    }
    std::string bytes;
    for (const auto& reply : result.replies) {
        bytes += reply + "\r\n";
    }
    if (!bytes.empty()) {
        deliver(session, bytes, treatment);
    }
    switch (result.motion) {
        case detail::MotionChange::Started:
            motionSession_ = session;
            motionTreatment_ = treatment;
            armMotionTimer();
            break;
        case detail::MotionChange::Paused:
            motionTimer_.cancel();
            break;
        case detail::MotionChange::Resumed:
        case detail::MotionChange::Stopping:
            armMotionTimer();
            break;
        case detail::MotionChange::None:
            break;
    }
}

// Caller holds the state mutex.
void Server::armMotionTimer() {
    motionTimer_.expires_at(shared_.controller.motionEnd());
    motionTimer_.async_wait([this](const boost::system::error_code& error) {
        if (!error && !stopping_) {
            onMotionTimer();
        }
    });
}

void Server::onMotionTimer() {
    std::lock_guard lock(shared_.stateMutex);
    auto& controller = shared_.controller;
    if (!controller.moving() || controller.paused()) {
        return;  // a stale wake-up after a pause, a stop or an abort
    }
    if (const auto outcome = controller.completeMotion(Clock::now())) {
        sendMotionReply(*outcome);
    } else {
        armMotionTimer();
    }
}

void Server::sendMotionReply(const detail::MotionOutcome& outcome) {
    if (const auto session = motionSession_.lock(); session && session->isOpen()) {
        deliver(session, detail::motionReply(outcome) + "\r\n", motionTreatment_);
    }
    motionSession_.reset();
}

void Server::setEmergencyStop(bool on) {
    std::lock_guard lock(shared_.stateMutex);
    auto& controller = shared_.controller;
    std::optional<detail::MotionOutcome> aborted;
    if (on) {
        aborted = controller.abortMotion(Clock::now(), reply_code::kSystemError);
        motionTimer_.cancel();
    }
    controller.setEmergencyStop(on);
    if (aborted) {
        sendMotionReply(*aborted);
    }
}

bool Server::failMotion(int code) {
    std::lock_guard lock(shared_.stateMutex);
    const auto aborted = shared_.controller.abortMotion(Clock::now(), code);
    if (!aborted) {
        return false;
    }
    motionTimer_.cancel();
    sendMotionReply(*aborted);
    return true;
}

void Server::inputsChanged() {
    std::lock_guard lock(shared_.stateMutex);
    if (shared_.controller.checkConditions(Clock::now())) {
        armMotionTimer();
    }
}

std::string Server::telemetryBytes(bool withSample, bool withStatus, bool garbled) {
    Joints joints{};
    Pose pose{};
    std::array<std::int64_t, 5> status{};
    {
        std::lock_guard lock(shared_.stateMutex);
        const auto& c = shared_.controller;
        if (withSample) {
            joints = c.joints(Clock::now());
            pose = c.tcp(joints);
        }
        status = {c.stat(), c.systemError, kControlDevice, c.robotInfo(), c.ctrlInfo()};
    }
    const auto real = [garbled](double v) {
        return garbled ? std::string("??") : detail::formatReal(v);
    };
    std::string bytes;
    if (withSample) {
        static const char* const kPoseKeys[] = {"X", "Y", "Z", "U", "V", "W"};
        for (std::size_t i = 0; i < pose.size(); ++i) {
            bytes += std::string(kPoseKeys[i]) + "=" + real(pose[i]) + ";";
        }
        for (std::size_t i = 0; i < joints.size(); ++i) {
            bytes += "J" + std::to_string(i + 1) + "agl=" + real(joints[i]) +
                     (i + 1 < joints.size() ? ";" : "\r");
        }
    }
    if (withStatus) {
        static const char* const kStatusKeys[] = {"STAT", "SYSERR", "CTRLDEV", "ROBOTINFO",
                                                  "CTRLINFO"};
        for (std::size_t i = 0; i < status.size(); ++i) {
            bytes += std::string(kStatusKeys[i]) + "=" +
                     (garbled ? std::string("??") : detail::formatInteger(status[i])) +
                     (i + 1 < status.size() ? ";" : "\r");
        }
    }
    return bytes;
}

std::string pointKey(const std::string& name) {
    static const std::regex kNumbered(R"(\s*[Pp]\s*\(\s*(\d{1,6})\s*\)\s*)");
    static const std::regex kIdentifier(R"([A-Za-z_][A-Za-z0-9_]*)");
    std::smatch match;
    if (std::regex_match(name, match, kNumbered)) {
        return "P" + std::to_string(std::stoul(match[1].str()));
    }
    if (std::regex_match(name, kIdentifier)) {
        return detail::toUpper(name);
    }
    throw std::invalid_argument("point name must be P(n) or an identifier: \"" + name + "\"");
}

}  // namespace

// ---- Simulator ----

struct Simulator::Impl {
    explicit Impl(SimulatorOptions options) : shared(std::move(options)) {}

    // Runs f on the I/O thread and waits for it; without a running server, f(nullptr) here.
    void onIoThread(const std::function<void(Server*)>& f) {
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
};

Simulator::Simulator(SimulatorOptions options) {
    if (!(options.timeScale > 0.0) || !std::isfinite(options.timeScale)) {
        throw std::invalid_argument("time scale must be finite and positive");
    }
    if (!(options.telemetryRateHz > 0.0) || options.telemetryRateHz > 10000.0) {
        throw std::invalid_argument("telemetry rate must be above 0 and at most 10000 Hz");
    }
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
    auto server = std::make_unique<Server>(impl_->shared);
    Server* raw = server.get();
    asio::post(raw->io(), [raw] { raw->begin(); });
    impl_->thread = std::thread([raw] {
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
    impl_->server = std::move(server);
}

void Simulator::stop() {
    std::lock_guard lock(impl_->lifecycleMutex);
    if (!impl_->server) {
        return;
    }
    Server* raw = impl_->server.get();
    asio::post(raw->io(), [raw] { raw->shutdown(); });
    impl_->thread.join();
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
                           MatchMode mode, int times) {
    Rule rule = detail::makeRule(pattern, mode, RuleAction::Delay, times);
    rule.delay = delay;
    impl_->addRule(std::move(rule));
}

void Simulator::answer(const std::string& pattern, const std::string& reply, MatchMode mode,
                       int times, bool raw) {
    Rule rule = detail::makeRule(pattern, mode, RuleAction::Answer, times);
    rule.bytes = raw ? reply : detail::wireLines(reply);
    impl_->addRule(std::move(rule));
}

void Simulator::goSilent(const std::string& pattern, MatchMode mode, int times) {
    impl_->addRule(detail::makeRule(pattern, mode, RuleAction::Silent, times));
}

void Simulator::dropConnection(const std::string& pattern, MatchMode mode, int times,
                               bool abortive) {
    impl_->addRule(
        detail::makeRule(pattern, mode, abortive ? RuleAction::Reset : RuleAction::Drop, times));
}

void Simulator::executeThenDrop(const std::string& pattern, MatchMode mode, int times,
                                bool abortive) {
    impl_->addRule(detail::makeRule(
        pattern, mode, abortive ? RuleAction::ExecuteReset : RuleAction::ExecuteDrop, times));
}

void Simulator::executeThenAnswer(const std::string& pattern, const std::string& reply,
                                  MatchMode mode, int times, bool raw) {
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

void Simulator::dropCommandConnection(bool abortive) {
    impl_->onIoThread([abortive](Server* server) {
        if (server) {
            server->dropCommandConnection(abortive);
        }
    });
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
    bool failed = false;
    impl_->onIoThread([&](Server* server) {
        if (server) {
            failed = server->failMotion(code);
        }
    });
    return failed;
}

void Simulator::setSystemError(int code) {
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
    return impl_->read([&](const detail::Controller& c) { return c.inputs.test(index); });
}

void Simulator::sendTelemetryRaw(const std::string& bytes) {
    impl_->onIoThread([&](Server* server) {
        if (server) {
            server->sendTelemetryRaw(bytes);
        }
    });
}

void Simulator::setPoint(const std::string& name, const Pose& pose) {
    const std::string key = pointKey(name);
    std::lock_guard lock(impl_->shared.stateMutex);
    impl_->shared.controller.jointPoints.erase(key);
    impl_->shared.controller.points[key] = pose;
}

void Simulator::setJointPoint(const std::string& name, const Joints& joints) {
    const std::string key = pointKey(name);
    std::lock_guard lock(impl_->shared.stateMutex);
    impl_->shared.controller.points.erase(key);
    impl_->shared.controller.jointPoints[key] = joints;
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
