#pragma once

// The simulator's server: owns the I/O thread's io_context, the command listener and its one
// session, the telemetry and control servers and the motion timer, and joins them to the
// controller state. The parts live beside it: Dispatch (what a command does), CommandSession
// (the wire), ReplyRules, CommandLog, TelemetryServer and ControlServer.

// <utility> first: Boost 1.74's awaitable.hpp uses std::exchange without including it.
#include <utility>

#include <boost/asio.hpp>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "CommandLog.hpp"
#include "CommandSession.hpp"
#include "ControlServer.hpp"
#include "Controller.hpp"
#include "Dispatch.hpp"
#include "Listener.hpp"
#include "ReplyRules.hpp"
#include "TelemetryServer.hpp"
#include "epson_sim/Simulator.hpp"

namespace epson::sim::detail {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using std::chrono::milliseconds;

// State that outlives any one start/stop: the controller, the log, the rules, the ports.
struct Shared {
    explicit Shared(SimulatorOptions o)
        : options(std::move(o)),
          controller(options.limits, options.timeScale),
          log(options.logCapacity, options.logBytes),
          strictExecute(options.strictExecute) {}

    SimulatorOptions options;

    mutable std::mutex stateMutex;
    Controller controller;
    std::string lastRefusal;

    CommandLog log;
    RuleBook rules;

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
    std::atomic<std::uint16_t> controlPort{0};
    // Bound addresses as text; written by the server's constructor, under the simulator's
    // lifecycle lock, which their readers take too.
    std::string commandAddress;
    std::string telemetryAddress;
    std::string controlAddress;
};

// What becomes of a reply that a rule lets the command produce.
struct ReplyTreatment {
    milliseconds delay{0};
    RuleAction action = RuleAction::Delay;
    std::string bytes;
};

// Everything bound to one run of the I/O thread. All methods but the constructor run on it.
class Server final : public SessionHost {
  public:
    // Binds every listener at once (the control one when the options ask for it); throws
    // std::runtime_error when one cannot be bound. applyControl answers a control line.
    Server(Shared& shared, ControlServer::Apply applyControl);

    asio::io_context& io() { return io_; }
    void begin();
    void shutdown();

    void handleLine(const std::shared_ptr<CommandSession>& session,
                    const std::string& line) override;
    void sessionClosed(const CommandSession* session) override;
    ReplyStyle replyStyle() const override { return shared_.rules.style(); }

    void setEmergencyStop(bool on);
    bool failMotion(int code);
    void inputsChanged();
    // Wakes when the next input tied to an output falls due, so that a Till or Find sees it
    // during a motion. Caller holds the state mutex.
    void armInputTimer();
    void applyTelemetryMode(TelemetryMode mode) { telemetry_->applyMode(mode); }
    void sendTelemetryRaw(const std::string& bytes) { telemetry_->sendRaw(bytes); }
    // False when no command client is connected.
    bool dropCommandConnection(bool abortive) {
        if (!session_) {
            return false;
        }
        session_->close(abortive);
        return true;
    }
    void setCommandRefused(bool refused);

  private:
    void deliver(const std::shared_ptr<CommandSession>& session, const std::string& bytes,
                 const ReplyTreatment& treatment);
    void armMotionTimer();
    void onMotionTimer();
    void sendMotionReply(const MotionOutcome& outcome);
    void acceptedCommand(tcp::socket socket);

    Shared& shared_;
    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    Listener commandListener_;
    tcp::endpoint commandEndpoint_;
    std::unique_ptr<TelemetryServer> telemetry_;
    std::unique_ptr<ControlServer> control_;
    asio::steady_timer motionTimer_;
    asio::steady_timer inputTimer_;
    std::shared_ptr<CommandSession> session_;
    // Where the running motion's reply goes, and how.
    std::weak_ptr<CommandSession> motionSession_;
    ReplyTreatment motionTreatment_;
    bool stopping_ = false;
};

}  // namespace epson::sim::detail
