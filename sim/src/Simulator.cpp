#include "epson_sim/Simulator.hpp"

#include <sys/socket.h>

// <utility> first: Boost 1.74's awaitable.hpp uses std::exchange without including it.
#include <utility>

#include <boost/asio.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <iostream>
#include <mutex>
#include <regex>
#include <stdexcept>
#include <thread>
#include <utility>

#include "Controller.hpp"
#include "Spel.hpp"
#include "sim_text.hpp"

namespace epson::sim {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using detail::Clock;
using std::chrono::milliseconds;

// A command line longer than this without a line feed closes the connection.
constexpr std::size_t kMaxLineLength = 64 * 1024;

enum class RuleAction { Delay, Answer, Silent, Drop };

struct Rule {
    std::string pattern;
    MatchMode mode = MatchMode::Substring;
    std::shared_ptr<const std::regex> regex;
    RuleAction action = RuleAction::Delay;
    milliseconds delay{0};
    std::string bytes;   // Answer: exactly what goes on the wire
    int remaining = -1;  // < 0: unlimited
};

struct ReplyStyle {
    int segments = 1;
    milliseconds gap{0};
    bool coalesce = false;
};

bool lineMatches(const std::string& line, const std::string& pattern, const std::regex* regex) {
    return regex ? std::regex_search(line, *regex) : line.find(pattern) != std::string::npos;
}

std::shared_ptr<const std::regex> compile(const std::string& pattern, MatchMode mode) {
    if (mode != MatchMode::Regex) {
        return nullptr;
    }
    try {
        return std::make_shared<const std::regex>(pattern);
    } catch (const std::regex_error& e) {
        throw std::invalid_argument("invalid regular expression \"" + pattern + "\": " + e.what());
    }
}

// Each "\n"-separated line of a rule's reply gets CR LF.
std::string wireLines(const std::string& reply) {
    std::string bytes;
    std::size_t begin = 0;
    for (;;) {
        const std::size_t end = reply.find('\n', begin);
        std::string line = reply.substr(begin, end == std::string::npos ? end : end - begin);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        bytes += line + "\r\n";
        if (end == std::string::npos) {
            return bytes;
        }
        begin = end + 1;
    }
}

// State that outlives any one start/stop: the controller, the log, the rules.
struct Shared {
    explicit Shared(SimulatorOptions o)
        : options(std::move(o)), controller(options.limits, options.timeScale) {}

    void record(const std::string& line) {
        {
            std::lock_guard lock(logMutex);
            log.push_back(line);
        }
        logChanged.notify_all();
    }

    std::optional<Rule> takeRule(const std::string& line) {
        std::lock_guard lock(rulesMutex);
        for (Rule& rule : rules) {
            if (rule.remaining == 0 || !lineMatches(line, rule.pattern, rule.regex.get())) {
                continue;
            }
            if (rule.remaining > 0) {
                --rule.remaining;
            }
            return rule;
        }
        return std::nullopt;
    }

    ReplyStyle replyStyle() const {
        std::lock_guard lock(rulesMutex);
        return style;
    }

    void addRule(Rule rule) {
        std::lock_guard lock(rulesMutex);
        rules.push_back(std::move(rule));
    }

    SimulatorOptions options;

    mutable std::mutex stateMutex;
    detail::Controller controller;
    std::string lastRefusal;

    mutable std::mutex logMutex;
    mutable std::condition_variable logChanged;
    std::vector<std::string> log;

    mutable std::mutex rulesMutex;
    std::vector<Rule> rules;
    ReplyStyle style;

    std::atomic<std::uint16_t> commandPort{0};
    std::atomic<std::uint16_t> telemetryPort{0};
    std::atomic<TelemetryMode> telemetryMode{TelemetryMode::Normal};
    std::atomic<std::size_t> telemetryClients{0};
    std::atomic<std::size_t> refusedConnections{0};
    std::atomic<bool> commandConnected{false};
    std::atomic<bool> loggedIn{false};
};

class Server;

class CommandSession : public std::enable_shared_from_this<CommandSession> {
  public:
    CommandSession(Server& server, tcp::socket socket)
        : server_(server),
          socket_(std::move(socket)),
          input_(kMaxLineLength),
          gapTimer_(socket_.get_executor()) {}

    void start() { read(); }
    bool isOpen() const { return socket_.is_open(); }
    // The peer has closed (or reset) its end, though its FIN may not have been read yet.
    bool peerGone() {
        char byte = 0;
        const ssize_t n = ::recv(socket_.native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
    }
    void close();
    // Bytes to write, after the delay if there is one (a delayed reply may pass later ones).
    void send(std::string bytes, milliseconds delay);

    bool loggedIn = false;

  private:
    void read();
    void onRead(const boost::system::error_code& error);
    void enqueue(std::string bytes);
    void writeNext();
    void writeChunk();

    Server& server_;
    tcp::socket socket_;
    asio::streambuf input_;
    std::deque<std::string> output_;
    bool writing_ = false;
    bool flushPosted_ = false;
    std::vector<std::string> chunks_;
    std::size_t chunk_ = 0;
    milliseconds gap_{0};
    asio::steady_timer gapTimer_;
    std::vector<std::shared_ptr<asio::steady_timer>> delayTimers_;
};

class TelemetryClient : public std::enable_shared_from_this<TelemetryClient> {
  public:
    TelemetryClient(Server& server, tcp::socket socket)
        : server_(server), socket_(std::move(socket)) {}

    void start() { watch(); }
    void send(const std::shared_ptr<const std::string>& packet);
    void close() {
        boost::system::error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
    }

  private:
    // Reads (and discards) whatever the client sends, to notice when it goes away.
    void watch();

    Server& server_;
    tcp::socket socket_;
    bool writing_ = false;
    std::array<char, 256> sink_{};
};

// Everything bound to one run of the I/O thread. All methods but the constructor run on it.
class Server {
  public:
    explicit Server(Shared& shared);

    asio::io_context& io() { return io_; }
    Shared& shared() { return shared_; }
    void begin();
    void shutdown();

    void handleLine(const std::shared_ptr<CommandSession>& session, const std::string& line);
    void sessionClosed(const CommandSession* session);
    void removeClient(const TelemetryClient* client);
    void setEmergencyStop(bool on);
    void applyTelemetryMode(TelemetryMode mode);
    void dropCommandConnection() {
        if (session_) {
            session_->close();
        }
    }

  private:
    void dispatch(const std::shared_ptr<CommandSession>& session, const std::string& line,
                  milliseconds delay);
    void armMotionTimer();
    void onMotionTimer();
    void sendMotionReply(const std::string& line);
    void acceptCommand();
    void acceptTelemetry();
    void openTelemetryAcceptor();
    void closeTelemetryClients();
    void scheduleTick();
    void onTick();
    std::string telemetryBytes(bool withStatus, bool garbled);

    Shared& shared_;
    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    tcp::acceptor commandAcceptor_;
    tcp::acceptor telemetryAcceptor_;
    tcp::endpoint telemetryEndpoint_;
    asio::steady_timer tickTimer_;
    asio::steady_timer motionTimer_;
    std::shared_ptr<CommandSession> session_;
    std::vector<std::shared_ptr<TelemetryClient>> clients_;
    // Where the running motion's reply goes.
    std::weak_ptr<CommandSession> motionSession_;
    std::string motionName_;
    milliseconds motionDelay_{0};
    std::uint64_t tick_ = 0;
    Clock::time_point nextTick_;
    Clock::duration period_;
    bool stopping_ = false;
};

// ---- CommandSession ----

void CommandSession::read() {
    asio::async_read_until(socket_, input_, '\n',
                           [self = shared_from_this()](const boost::system::error_code& error,
                                                       std::size_t) { self->onRead(error); });
}

void CommandSession::onRead(const boost::system::error_code& error) {
    if (error) {
        close();
        return;
    }
    auto self = shared_from_this();
    for (;;) {
        const auto data = input_.data();
        const std::string pending(asio::buffers_begin(data), asio::buffers_end(data));
        const std::size_t end = pending.find('\n');
        if (end == std::string::npos) {
            break;
        }
        std::string line = pending.substr(0, end);
        input_.consume(end + 1);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        server_.handleLine(self, line);
        if (!isOpen()) {
            return;
        }
    }
    read();
}

void CommandSession::close() {
    if (!socket_.is_open()) {
        return;
    }
    boost::system::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
    gapTimer_.cancel();
    for (auto& timer : delayTimers_) {
        timer->cancel();
    }
    delayTimers_.clear();
    output_.clear();
    server_.sessionClosed(this);
}

void CommandSession::send(std::string bytes, milliseconds delay) {
    if (delay.count() <= 0) {
        enqueue(std::move(bytes));
        return;
    }
    auto timer = std::make_shared<asio::steady_timer>(socket_.get_executor(), delay);
    delayTimers_.push_back(timer);
    timer->async_wait([self = shared_from_this(), timer,
                       bytes = std::move(bytes)](const boost::system::error_code& error) mutable {
        auto& timers = self->delayTimers_;
        timers.erase(std::remove(timers.begin(), timers.end(), timer), timers.end());
        if (!error) {
            self->enqueue(std::move(bytes));
        }
    });
}

void CommandSession::enqueue(std::string bytes) {
    if (!isOpen()) {
        return;
    }
    output_.push_back(std::move(bytes));
    // Writing starts after the current handler, so replies produced together can coalesce.
    if (!writing_ && !flushPosted_) {
        flushPosted_ = true;
        asio::post(socket_.get_executor(), [self = shared_from_this()] {
            self->flushPosted_ = false;
            self->writeNext();
        });
    }
}

void CommandSession::writeNext() {
    if (writing_ || output_.empty() || !isOpen()) {
        return;
    }
    const ReplyStyle style = server_.shared().replyStyle();
    std::string bytes;
    if (style.coalesce) {
        for (auto& item : output_) {
            bytes += item;
        }
        output_.clear();
    } else {
        bytes = std::move(output_.front());
        output_.pop_front();
    }
    chunks_.clear();
    const std::size_t pieces =
        std::clamp<std::size_t>(static_cast<std::size_t>(std::max(style.segments, 1)), 1,
                                std::max<std::size_t>(bytes.size(), 1));
    std::size_t offset = 0;
    for (std::size_t i = 0; i < pieces; ++i) {
        const std::size_t length = bytes.size() / pieces + (i < bytes.size() % pieces ? 1 : 0);
        chunks_.push_back(bytes.substr(offset, length));
        offset += length;
    }
    chunk_ = 0;
    gap_ = style.gap;
    writing_ = true;
    writeChunk();
}

void CommandSession::writeChunk() {
    asio::async_write(
        socket_, asio::buffer(chunks_[chunk_]),
        [self = shared_from_this()](const boost::system::error_code& error, std::size_t) {
            if (error) {
                self->writing_ = false;
                self->close();
                return;
            }
            if (++self->chunk_ < self->chunks_.size()) {
                self->gapTimer_.expires_after(self->gap_);
                self->gapTimer_.async_wait([self](const boost::system::error_code& waitError) {
                    if (!waitError && self->isOpen()) {
                        self->writeChunk();
                    } else {
                        self->writing_ = false;
                    }
                });
                return;
            }
            self->writing_ = false;
            self->writeNext();
        });
}

// ---- TelemetryClient ----

void TelemetryClient::send(const std::shared_ptr<const std::string>& packet) {
    if (writing_ || !socket_.is_open()) {
        return;  // a client that cannot keep up misses samples rather than queueing them
    }
    writing_ = true;
    asio::async_write(
        socket_, asio::buffer(*packet),
        [self = shared_from_this(), packet](const boost::system::error_code& error, std::size_t) {
            self->writing_ = false;
            if (error) {
                self->server_.removeClient(self.get());
            }
        });
}

void TelemetryClient::watch() {
    socket_.async_read_some(
        asio::buffer(sink_),
        [self = shared_from_this()](const boost::system::error_code& error, std::size_t) {
            if (error) {
                self->server_.removeClient(self.get());
                return;
            }
            self->watch();
        });
}

// ---- Server ----

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

void openAcceptor(tcp::acceptor& acceptor, const tcp::endpoint& endpoint) {
    acceptor.open(endpoint.protocol());
    acceptor.set_option(asio::socket_base::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen();
}

Server::Server(Shared& shared)
    : shared_(shared),
      work_(asio::make_work_guard(io_)),
      commandAcceptor_(io_),
      telemetryAcceptor_(io_),
      tickTimer_(io_),
      motionTimer_(io_),
      period_(std::chrono::duration_cast<Clock::duration>(
          std::chrono::duration<double>(1.0 / shared.options.telemetryRateHz))) {
    const auto& o = shared_.options;
    const auto listen = [&](tcp::acceptor& acceptor, std::uint16_t port, const char* what) {
        const tcp::endpoint endpoint = resolveEndpoint(io_, o.host, port);
        try {
            openAcceptor(acceptor, endpoint);
        } catch (const boost::system::system_error& e) {
            throw std::runtime_error(std::string("epson-sim: cannot listen for ") + what + " on " +
                                     o.host + ":" + std::to_string(port) + ": " +
                                     e.code().message());
        }
        return acceptor.local_endpoint();
    };
    shared_.commandPort = listen(commandAcceptor_, o.commandPort, "commands").port();
    telemetryEndpoint_ = listen(telemetryAcceptor_, o.telemetryPort, "telemetry");
    shared_.telemetryPort = telemetryEndpoint_.port();
    if (shared_.telemetryMode == TelemetryMode::Refused) {
        telemetryAcceptor_.close();
    }
}

void Server::begin() {
    acceptCommand();
    acceptTelemetry();
    nextTick_ = Clock::now();
    scheduleTick();
}

void Server::shutdown() {
    stopping_ = true;
    {
        std::lock_guard lock(shared_.stateMutex);
        shared_.controller.abortMotion(Clock::now());
    }
    boost::system::error_code ignored;
    motionTimer_.cancel();
    tickTimer_.cancel();
    commandAcceptor_.close(ignored);
    telemetryAcceptor_.close(ignored);
    if (session_) {
        session_->close();
    }
    closeTelemetryClients();
    work_.reset();
    io_.stop();
}

void Server::acceptCommand() {
    commandAcceptor_.async_accept(
        [this](const boost::system::error_code& error, tcp::socket socket) {
            if (error) {
                if (!stopping_ && commandAcceptor_.is_open()) {
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
                session_ = std::make_shared<CommandSession>(*this, std::move(socket));
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

void Server::handleLine(const std::shared_ptr<CommandSession>& session, const std::string& line) {
    shared_.record(line);
    milliseconds delay{0};
    if (const auto rule = shared_.takeRule(line)) {
        switch (rule->action) {
            case RuleAction::Answer:
                session->send(rule->bytes, milliseconds{0});
                return;
            case RuleAction::Silent:
                return;
            case RuleAction::Drop:
                session->close();
                return;
            case RuleAction::Delay:
                delay = rule->delay;
                break;
        }
    }
    dispatch(session, line, delay);
}

void Server::dispatch(const std::shared_ptr<CommandSession>& session, const std::string& line,
                      milliseconds delay) {
    const auto reply = [&](const std::string& text) { session->send(text + "\r\n", delay); };
    if (line.empty() || line.front() != '$') {
        reply("!" + line.substr(0, line.find(',')) + "," + std::to_string(reply_code::kNoDollar));
        return;
    }
    const std::size_t comma = line.find(',');
    const std::string name = line.substr(1, comma == std::string::npos ? comma : comma - 1);
    const std::optional<std::string> params =
        comma == std::string::npos ? std::nullopt : std::optional(line.substr(comma + 1));
    const std::string command = detail::toUpper(name);

    std::lock_guard lock(shared_.stateMutex);
    auto& controller = shared_.controller;
    const auto error = [&](int code, const std::string& why) {
        shared_.lastRefusal = line + ": " + why;
        reply("!" + name + "," + std::to_string(code));
    };
    const auto ok = [&] { reply("#" + name + ",0"); };

    if (command != "LOGIN" && !session->loggedIn) {
        error(reply_code::kUnknownCommand, "not logged in");
        return;
    }
    const auto now = Clock::now();
    // A new session may log in while a motion of a lost one still runs, so that it can continue
    // or wait for that motion; everything else waits for the motion to end.
    if (controller.moving() && command != "PAUSE" && command != "CONTINUE" && command != "LOGIN") {
        error(reply_code::kAlreadyExecuting, "a motion is executing");
        return;
    }
    const bool takesNoParameters =
        command == "LOGOUT" || command == "PAUSE" || command == "CONTINUE";
    if (takesNoParameters && params) {
        error(reply_code::kBadFormat, "no parameters expected");
        return;
    }
    if (command == "LOGIN") {
        const auto& password = shared_.options.password;
        if (password && params.value_or("") != *password) {
            error(reply_code::kWrongPassword, "wrong password");
            return;
        }
        session->loggedIn = true;
        shared_.loggedIn = true;
        ok();
    } else if (command == "LOGOUT") {
        session->loggedIn = false;
        shared_.loggedIn = false;
        ok();
    } else if (command == "PAUSE") {
        if (controller.moving() && !controller.paused()) {
            controller.pause(now);
            motionTimer_.cancel();
        }
        ok();
    } else if (command == "CONTINUE") {
        if (controller.moving() && controller.paused()) {
            controller.resume(now);
            armMotionTimer();
        }
        ok();
    } else if (command == "EXECUTE") {
        if (!params || params->size() < 2 || params->front() != '"' || params->back() != '"') {
            error(reply_code::kBadFormat, "the statement must be one double-quoted text");
            return;
        }
        try {
            auto result = detail::execute(controller, params->substr(1, params->size() - 2), now);
            if (result.motion) {
                controller.startMotion(std::move(*result.motion), now);
                motionSession_ = session;
                motionName_ = name;
                motionDelay_ = delay;
                armMotionTimer();
            } else if (result.printed) {
                reply("#" + name + ",\"" + *result.printed + "\"");
            } else {
                ok();
            }
        } catch (const detail::CommandError& e) {
            error(e.code(), e.what());
        } catch (const std::exception& e) {
            // Whatever slipped through the interpreter is the controller's fault, not a crash.
            error(reply_code::kSystemError, e.what());
        }
    } else {
        error(reply_code::kUnknownCommand, "unknown command");
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
    if (Clock::now() < controller.motionEnd()) {
        armMotionTimer();
        return;
    }
    controller.finishMotion();
    sendMotionReply("#" + motionName_ + ",0");
}

void Server::sendMotionReply(const std::string& line) {
    if (const auto session = motionSession_.lock(); session && session->isOpen()) {
        session->send(line + "\r\n", motionDelay_);
    }
    motionSession_.reset();
}

void Server::setEmergencyStop(bool on) {
    std::lock_guard lock(shared_.stateMutex);
    auto& controller = shared_.controller;
    const bool abort = on && controller.moving();
    if (abort) {
        controller.abortMotion(Clock::now());
        motionTimer_.cancel();
    }
    controller.setEmergencyStop(on);
    if (abort) {
        sendMotionReply("!" + motionName_ + "," + std::to_string(reply_code::kSystemError));
    }
}

void Server::acceptTelemetry() {
    if (!telemetryAcceptor_.is_open()) {
        return;
    }
    telemetryAcceptor_.async_accept(
        [this](const boost::system::error_code& error, tcp::socket socket) {
            if (error) {
                if (!stopping_ && error != asio::error::operation_aborted &&
                    telemetryAcceptor_.is_open()) {
                    acceptTelemetry();
                }
                return;
            }
            const TelemetryMode mode = shared_.telemetryMode;
            if (mode == TelemetryMode::Closed || mode == TelemetryMode::Refused) {
                boost::system::error_code ignored;
                socket.shutdown(tcp::socket::shutdown_both, ignored);
                socket.close(ignored);
            } else {
                boost::system::error_code ignored;
                socket.set_option(tcp::no_delay(true), ignored);
                auto client = std::make_shared<TelemetryClient>(*this, std::move(socket));
                clients_.push_back(client);
                shared_.telemetryClients = clients_.size();
                client->start();
            }
            acceptTelemetry();
        });
}

void Server::removeClient(const TelemetryClient* client) {
    const auto it = std::find_if(clients_.begin(), clients_.end(),
                                 [client](const auto& c) { return c.get() == client; });
    if (it != clients_.end()) {
        (*it)->close();
        clients_.erase(it);
        shared_.telemetryClients = clients_.size();
    }
}

void Server::closeTelemetryClients() {
    for (auto& client : clients_) {
        client->close();
    }
    clients_.clear();
    shared_.telemetryClients = 0;
}

void Server::openTelemetryAcceptor() {
    try {
        openAcceptor(telemetryAcceptor_, telemetryEndpoint_);
    } catch (const boost::system::system_error& e) {
        boost::system::error_code ignored;
        telemetryAcceptor_.close(ignored);
        throw std::runtime_error("epson-sim: cannot listen for telemetry again on port " +
                                 std::to_string(telemetryEndpoint_.port()) + ": " +
                                 e.code().message());
    }
    acceptTelemetry();
}

void Server::applyTelemetryMode(TelemetryMode mode) {
    // Reopen first: if the port is gone meanwhile, nothing has changed when this throws.
    if (mode != TelemetryMode::Refused && !telemetryAcceptor_.is_open()) {
        openTelemetryAcceptor();
    }
    shared_.telemetryMode = mode;
    if (mode == TelemetryMode::Closed || mode == TelemetryMode::Refused) {
        closeTelemetryClients();
    }
    if (mode == TelemetryMode::Refused) {
        boost::system::error_code ignored;
        telemetryAcceptor_.close(ignored);
    }
}

void Server::scheduleTick() {
    nextTick_ += period_;
    const auto now = Clock::now();
    if (nextTick_ + 5 * period_ < now) {
        nextTick_ = now + period_;  // fell far behind (a stalled machine): skip, do not burst
    }
    tickTimer_.expires_at(nextTick_);
    tickTimer_.async_wait([this](const boost::system::error_code& error) {
        if (error || stopping_) {
            return;
        }
        onTick();
        scheduleTick();
    });
}

void Server::onTick() {
    ++tick_;
    const TelemetryMode mode = shared_.telemetryMode;
    if (clients_.empty() || (mode != TelemetryMode::Normal && mode != TelemetryMode::Garbled)) {
        return;
    }
    // Sample and status leave in one write so that a slow client drops both or neither.
    const auto packet = std::make_shared<const std::string>(
        telemetryBytes(tick_ % 10 == 0, mode == TelemetryMode::Garbled));
    for (const auto& client : std::vector(clients_)) {
        client->send(packet);
    }
}

std::string Server::telemetryBytes(bool withStatus, bool garbled) {
    Joints joints{};
    Pose pose{};
    std::array<std::int64_t, 5> status{};
    {
        std::lock_guard lock(shared_.stateMutex);
        const auto& c = shared_.controller;
        joints = c.joints(Clock::now());
        pose = c.tcp(joints);
        status = {c.stat(), c.systemError, kControlDevice, c.robotInfo(), c.ctrlInfo()};
    }
    const auto real = [garbled](double v) {
        return garbled ? std::string("??") : detail::formatReal(v);
    };
    static const char* const kPoseKeys[] = {"X", "Y", "Z", "U", "V", "W"};
    std::string bytes;
    for (std::size_t i = 0; i < pose.size(); ++i) {
        bytes += std::string(kPoseKeys[i]) + "=" + real(pose[i]) + ";";
    }
    for (std::size_t i = 0; i < joints.size(); ++i) {
        bytes += "J" + std::to_string(i + 1) + "agl=" + real(joints[i]) +
                 (i + 1 < joints.size() ? ";" : "\r");
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

}  // namespace

// ---- Simulator ----

struct Simulator::Impl {
    explicit Impl(SimulatorOptions options) : shared(std::move(options)) {}

    // Runs f on the I/O thread and waits for it; without a running server, f(nullptr) here.
    // Callers hold lifecycleMutex, so the server cannot go away meanwhile.
    void onIoThread(const std::function<void(Server*)>& f) {
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

    Shared shared;
    std::mutex lifecycleMutex;
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
    std::lock_guard lock(impl_->shared.logMutex);
    return impl_->shared.log;
}

void Simulator::clearLog() {
    std::lock_guard lock(impl_->shared.logMutex);
    impl_->shared.log.clear();
}

std::optional<std::string> Simulator::waitForCommand(const std::string& pattern,
                                                     std::chrono::milliseconds timeout,
                                                     MatchMode mode, std::size_t from) const {
    const auto regex = compile(pattern, mode);
    const auto deadline = Clock::now() + timeout;
    auto& shared = impl_->shared;
    std::unique_lock lock(shared.logMutex);
    std::size_t next = from;
    for (;;) {
        for (; next < shared.log.size(); ++next) {
            if (lineMatches(shared.log[next], pattern, regex.get())) {
                return shared.log[next];
            }
        }
        if (next > shared.log.size()) {
            next = std::min(from, shared.log.size());  // the log was cleared meanwhile
        }
        if (shared.logChanged.wait_until(lock, deadline) == std::cv_status::timeout &&
            next >= shared.log.size()) {
            return std::nullopt;
        }
    }
}

namespace {
Rule makeRule(const std::string& pattern, MatchMode mode, RuleAction action, int times) {
    Rule rule;
    rule.pattern = pattern;
    rule.mode = mode;
    rule.regex = compile(pattern, mode);
    rule.action = action;
    rule.remaining = times < 0 ? -1 : times;
    return rule;
}
}  // namespace

void Simulator::delayReply(const std::string& pattern, std::chrono::milliseconds delay,
                           MatchMode mode, int times) {
    Rule rule = makeRule(pattern, mode, RuleAction::Delay, times);
    rule.delay = delay;
    impl_->shared.addRule(std::move(rule));
}

void Simulator::answer(const std::string& pattern, const std::string& reply, MatchMode mode,
                       int times, bool raw) {
    Rule rule = makeRule(pattern, mode, RuleAction::Answer, times);
    rule.bytes = raw ? reply : wireLines(reply);
    impl_->shared.addRule(std::move(rule));
}

void Simulator::goSilent(const std::string& pattern, MatchMode mode, int times) {
    impl_->shared.addRule(makeRule(pattern, mode, RuleAction::Silent, times));
}

void Simulator::dropConnection(const std::string& pattern, MatchMode mode, int times) {
    impl_->shared.addRule(makeRule(pattern, mode, RuleAction::Drop, times));
}

void Simulator::splitReplies(int segments, std::chrono::milliseconds gap) {
    if (segments < 1 || gap.count() < 0) {
        throw std::invalid_argument("segments must be at least 1 and the gap not negative");
    }
    std::lock_guard lock(impl_->shared.rulesMutex);
    impl_->shared.style.segments = segments;
    impl_->shared.style.gap = gap;
}

void Simulator::coalesceReplies(bool on) {
    std::lock_guard lock(impl_->shared.rulesMutex);
    impl_->shared.style.coalesce = on;
}

void Simulator::clearRules() {
    std::lock_guard lock(impl_->shared.rulesMutex);
    impl_->shared.rules.clear();
    impl_->shared.style = ReplyStyle{};
}

void Simulator::setEmergencyStop(bool on) {
    std::lock_guard lock(impl_->lifecycleMutex);
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
    std::lock_guard lock(impl_->lifecycleMutex);
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

void Simulator::dropCommandConnection() {
    std::lock_guard lock(impl_->lifecycleMutex);
    impl_->onIoThread([](Server* server) {
        if (server) {
            server->dropCommandConnection();
        }
    });
}

void Simulator::setPoint(const std::string& name, const Pose& pose) {
    static const std::regex kNumbered(R"(\s*[Pp]\s*\(\s*(\d+)\s*\)\s*)");
    static const std::regex kIdentifier(R"([A-Za-z_][A-Za-z0-9_]*)");
    std::smatch match;
    std::string key;
    if (std::regex_match(name, match, kNumbered)) {
        key = "P" + std::to_string(std::stoul(match[1].str()));
    } else if (std::regex_match(name, kIdentifier)) {
        key = detail::toUpper(name);
    } else {
        throw std::invalid_argument("point name must be P(n) or an identifier: \"" + name + "\"");
    }
    std::lock_guard lock(impl_->shared.stateMutex);
    impl_->shared.controller.points[key] = pose;
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
bool Simulator::commandClientConnected() const {
    return impl_->shared.commandConnected;
}
std::size_t Simulator::refusedCommandConnections() const {
    return impl_->shared.refusedConnections;
}

}  // namespace epson::sim
