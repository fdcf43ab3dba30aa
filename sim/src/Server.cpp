#include "Server.hpp"

#include <stdexcept>

#include "TelemetryText.hpp"

namespace epson::sim::detail {

Server::Server(Shared& shared, ControlServer::Apply applyControl)
    : shared_(shared),
      work_(asio::make_work_guard(io_)),
      commandListener_(io_),
      motionTimer_(io_),
      inputTimer_(io_) {
    const auto& o = shared_.options;
    // A restart keeps the ports of the first start, as a rebooted controller does.
    const std::uint16_t commandPort =
        shared_.commandPort ? shared_.commandPort.load() : o.commandPort;
    const std::uint16_t telemetryPort =
        shared_.telemetryPort ? shared_.telemetryPort.load() : o.telemetryPort;
    commandEndpoint_ = resolveEndpoint(io_, o.host, commandPort);
    try {
        commandListener_.open(commandEndpoint_);
    } catch (const boost::system::system_error& e) {
        throw std::runtime_error("cannot listen for commands on " + o.host + ":" +
                                 std::to_string(commandPort) + ": " + e.code().message());
    }
    commandEndpoint_ = commandListener_.localEndpoint();
    const auto period = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1.0 / o.telemetryRateHz));
    telemetry_ = std::make_unique<TelemetryServer>(
        io_, resolveEndpoint(io_, o.host, telemetryPort), period, o.writeTimeout,
        TelemetryContent{[this](bool withSample, bool withStatus, bool garbled) {
            std::lock_guard lock(shared_.stateMutex);
            return telemetryLines(shared_.controller, Clock::now(), withSample, withStatus,
                                  garbled);
        }},
        shared_.telemetryMode, shared_.telemetryClients, shared_.telemetrySamplesSent);
    if (o.controlPort) {
        const std::uint16_t controlPort =
            shared_.controlPort ? shared_.controlPort.load() : *o.controlPort;
        control_ = std::make_unique<ControlServer>(
            io_, resolveEndpoint(io_, o.controlHost, controlPort), o.controlIdleTimeout,
            o.writeTimeout, std::move(applyControl));
        shared_.controlPort = control_->port();
        shared_.controlAddress = control_->address();
    }
    shared_.commandPort = commandEndpoint_.port();
    shared_.telemetryPort = telemetry_->port();
    shared_.commandAddress = commandEndpoint_.address().to_string();
    shared_.telemetryAddress = telemetry_->address();
    if (shared_.commandRefused) {
        commandListener_.close();
    }
}

void Server::begin() {
    commandListener_.start([this](tcp::socket socket) { acceptedCommand(std::move(socket)); });
    telemetry_->begin();
    if (control_) {
        control_->begin();
    }
}

void Server::shutdown() {
    stopping_ = true;
    {
        std::lock_guard lock(shared_.stateMutex);
        shared_.controller.abortMotion(Clock::now(), reply_code::kSystemError);
    }
    motionTimer_.cancel();
    inputTimer_.cancel();
    commandListener_.close();
    if (session_) {
        session_->close();
    }
    telemetry_->shutdown();
    if (control_) {
        control_->shutdown();
    }
    work_.reset();
    io_.stop();
}

void Server::setCommandRefused(bool refused) {
    shared_.commandRefused = refused;
    if (refused) {
        commandListener_.close();
    } else if (!commandListener_.isOpen()) {
        try {
            commandListener_.open(commandEndpoint_);
        } catch (const boost::system::system_error& e) {
            commandListener_.close();
            throw std::runtime_error("cannot listen for commands again on port " +
                                     std::to_string(commandEndpoint_.port()) + ": " +
                                     e.code().message());
        }
        commandListener_.start([this](tcp::socket socket) { acceptedCommand(std::move(socket)); });
    }
}

void Server::acceptedCommand(tcp::socket socket) {
    boost::system::error_code ignored;
    if (session_ && session_->isOpen() && !session_->peerGone()) {
        // One client at a time, as the controller allows.
        ++shared_.refusedConnections;
        socket.shutdown(tcp::socket::shutdown_both, ignored);
        socket.close(ignored);
        return;
    }
    if (session_) {
        session_->close();
    }
    socket.set_option(tcp::no_delay(true), ignored);
    // A fixed send buffer, as on the other ports: a client that never reads stalls the replies
    // within a few thousand commands and meets the write deadline, however slowly they run.
    socket.set_option(asio::socket_base::send_buffer_size(64 * 1024), ignored);
    const auto& o = shared_.options;
    session_ = std::make_shared<CommandSession>(
        *this, std::move(socket),
        SessionLimits{o.maxReplyBacklog, o.loginTimeout, o.idleTimeout, o.writeTimeout});
    shared_.commandConnected = true;
    session_->start();
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
    // The rule is taken before the line is logged: a test that waits for the line and then
    // changes the rules must not change what this line meets.
    const auto rule = shared_.rules.take(line);
    shared_.log.record(line);
    ReplyTreatment treatment;
    if (rule) {
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
    const DispatchSettings settings{shared_.options.password, shared_.strictExecute};
    const bool wasLoggedIn = session->loggedIn;
    const auto result = dispatchLine(line, controller, session->loggedIn, settings, Clock::now());
    if (session->loggedIn != wasLoggedIn) {
        shared_.loggedIn = session->loggedIn;
        session->loginChanged();
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
    armInputTimer();
    switch (result.motion) {
        case MotionChange::Started:
            session->awaitMotion(true);
            motionSession_ = session;
            motionTreatment_ = treatment;
            armMotionTimer();
            break;
        case MotionChange::Paused:
            motionTimer_.cancel();
            break;
        case MotionChange::Resumed:
        case MotionChange::Stopping:
            armMotionTimer();
            break;
        case MotionChange::None:
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

void Server::sendMotionReply(const MotionOutcome& outcome) {
    if (const auto session = motionSession_.lock(); session && session->isOpen()) {
        deliver(session, motionReply(outcome) + "\r\n", motionTreatment_);
        session->awaitMotion(false);
    }
    motionSession_.reset();
}

void Server::setEmergencyStop(bool on) {
    std::lock_guard lock(shared_.stateMutex);
    auto& controller = shared_.controller;
    std::optional<MotionOutcome> aborted;
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

void Server::armInputTimer() {
    const auto next = shared_.controller.io.nextChange();
    if (!next) {
        return;
    }
    inputTimer_.expires_at(*next);
    inputTimer_.async_wait([this](const boost::system::error_code& error) {
        if (error || stopping_) {
            return;
        }
        std::lock_guard lock(shared_.stateMutex);
        auto& controller = shared_.controller;
        const auto now = Clock::now();
        if (controller.io.settle(controller.inputs, now) && controller.checkConditions(now)) {
            armMotionTimer();
        }
        armInputTimer();
    });
}

}  // namespace epson::sim::detail
