#include "TelemetryServer.hpp"

#include <algorithm>
#include <array>
#include <stdexcept>

namespace epson::sim::detail {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {
constexpr std::size_t kMaxPendingRaw = 1024;
constexpr int kTelemetrySendBuffer = 64 * 1024;
}  // namespace

class TelemetryClient : public std::enable_shared_from_this<TelemetryClient> {
  public:
    TelemetryClient(TelemetryServer& server, tcp::socket socket)
        : server_(server), socket_(std::move(socket)), writeTimer_(socket_.get_executor()) {}

    void start() { watch(); }
    // Whole packets only: a client that cannot keep up misses samples rather than queueing
    // them. Raw bytes of a test always go (queued behind a packet in flight).
    void send(const std::shared_ptr<const std::string>& packet, bool mustArrive,
              bool carriesSample = false) {
        if (!socket_.is_open()) {
            return;
        }
        if (writing_) {
            if (mustArrive) {
                // A client that reads nothing must not hold a test's raw bytes without bound.
                if (pending_.size() >= kMaxPendingRaw) {
                    server_.removeClient(this);
                    return;
                }
                pending_.push_back(packet);
            }
            return;
        }
        writing_ = true;
        if (const auto deadline = server_.writeTimeout(); deadline.count() > 0) {
            writeTimer_.expires_after(deadline);
            writeTimer_.async_wait([self = shared_from_this()](const boost::system::error_code& e) {
                if (!e && self->writing_ && self->writeTimer_.expiry() <= Clock::now()) {
                    self->server_.removeClient(self.get());  // reads nothing: free its slot
                }
            });
        }
        asio::async_write(socket_, asio::buffer(*packet),
                          [self = shared_from_this(), packet, carriesSample](
                              const boost::system::error_code& error, std::size_t) {
                              self->writing_ = false;
                              self->writeTimer_.cancel();
                              if (error) {
                                  self->server_.removeClient(self.get());
                                  return;
                              }
                              if (carriesSample) {
                                  self->server_.sampleWritten();
                              }
                              if (!self->pending_.empty()) {
                                  auto next = self->pending_.front();
                                  self->pending_.erase(self->pending_.begin());
                                  self->send(next, true);
                              }
                          });
    }
    void close() {
        boost::system::error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
        writeTimer_.cancel();
    }

  private:
    // Reads (and discards) whatever the client sends, to notice when it goes away.
    void watch() {
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

    TelemetryServer& server_;
    tcp::socket socket_;
    bool writing_ = false;
    std::vector<std::shared_ptr<const std::string>> pending_;
    std::array<char, 256> sink_{};
    asio::steady_timer writeTimer_;
};

TelemetryServer::TelemetryServer(asio::io_context& io, const tcp::endpoint& endpoint,
                                 Clock::duration period, std::chrono::milliseconds writeTimeout,
                                 TelemetryContent content, std::atomic<TelemetryMode>& mode,
                                 std::atomic<std::size_t>& clientCount,
                                 std::atomic<std::uint64_t>& samplesSent)
    : listener_(io),
      endpoint_(endpoint),
      tickTimer_(io),
      period_(period),
      writeTimeout_(writeTimeout),
      content_(std::move(content)),
      mode_(mode),
      clientCount_(clientCount),
      samplesSent_(samplesSent) {
    try {
        listener_.open(endpoint);
    } catch (const boost::system::system_error& e) {
        throw std::runtime_error("cannot listen for telemetry on " +
                                 endpoint.address().to_string() + ":" +
                                 std::to_string(endpoint.port()) + ": " + e.code().message());
    }
    endpoint_ = listener_.localEndpoint();
    if (mode_ == TelemetryMode::Refused) {
        listener_.close();
    }
}

void TelemetryServer::begin() {
    listener_.start([this](tcp::socket socket) { accepted(std::move(socket)); });
    nextTick_ = Clock::now();
    scheduleTick();
}

void TelemetryServer::shutdown() {
    stopping_ = true;
    tickTimer_.cancel();
    listener_.close();
    closeClients();
}

void TelemetryServer::accepted(tcp::socket socket) {
    const TelemetryMode mode = mode_;
    boost::system::error_code ignored;
    if (mode == TelemetryMode::Closed || mode == TelemetryMode::Refused ||
        clients_.size() >= kMaxTelemetryClients) {
        socket.shutdown(tcp::socket::shutdown_both, ignored);
        socket.close(ignored);
        return;
    }
    socket.set_option(tcp::no_delay(true), ignored);
    // A fixed send buffer instead of one the kernel grows to megabytes: a client that never
    // reads then stalls its writes within seconds, meets the write deadline, and holds no more
    // kernel memory meanwhile. A reader that keeps up never notices.
    socket.set_option(asio::socket_base::send_buffer_size(kTelemetrySendBuffer), ignored);
    auto client = std::make_shared<TelemetryClient>(*this, std::move(socket));
    clients_.push_back(client);
    clientCount_ = clients_.size();
    client->start();
}

void TelemetryServer::removeClient(const TelemetryClient* client) {
    const auto it = std::find_if(clients_.begin(), clients_.end(),
                                 [client](const auto& c) { return c.get() == client; });
    if (it != clients_.end()) {
        (*it)->close();
        clients_.erase(it);
        clientCount_ = clients_.size();
    }
}

void TelemetryServer::closeClients() {
    for (auto& client : clients_) {
        client->close();
    }
    clients_.clear();
    clientCount_ = 0;
}

void TelemetryServer::openAcceptor() {
    try {
        listener_.open(endpoint_);
    } catch (const boost::system::system_error& e) {
        listener_.close();
        throw std::runtime_error("cannot listen for telemetry again on port " +
                                 std::to_string(endpoint_.port()) + ": " + e.code().message());
    }
    listener_.start([this](tcp::socket socket) { accepted(std::move(socket)); });
}

void TelemetryServer::applyMode(TelemetryMode mode) {
    // Reopen first: if the port is gone meanwhile, nothing has changed when this throws.
    if (mode != TelemetryMode::Refused && !listener_.isOpen()) {
        openAcceptor();
    }
    mode_ = mode;
    if (mode == TelemetryMode::Closed || mode == TelemetryMode::Refused) {
        closeClients();
    }
    if (mode == TelemetryMode::Refused) {
        listener_.close();
    }
}

void TelemetryServer::sendRaw(const std::string& bytes) {
    const auto packet = std::make_shared<const std::string>(bytes);
    for (const auto& client : std::vector(clients_)) {
        client->send(packet, true);
    }
}

void TelemetryServer::scheduleTick() {
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

void TelemetryServer::onTick() {
    ++tick_;
    const TelemetryMode mode = mode_;
    const bool sampleModes = mode == TelemetryMode::Normal || mode == TelemetryMode::Garbled;
    if (clients_.empty() || !(sampleModes || mode == TelemetryMode::StatusOnly)) {
        return;
    }
    // Sample and status leave in one write so that a slow client drops both or neither.
    const bool statusOnly = mode == TelemetryMode::StatusOnly;
    // Garbled values do not parse, so only a normal packet counts as a sample sent.
    sendPacket(std::make_shared<const std::string>(content_.packet(
                   !statusOnly, statusOnly || tick_ % 10 == 0, mode == TelemetryMode::Garbled)),
               mode == TelemetryMode::Normal);
}

void TelemetryServer::sendPacket(const std::shared_ptr<const std::string>& packet,
                                 bool carriesSample) {
    for (const auto& client : std::vector(clients_)) {
        client->send(packet, false, carriesSample);
    }
}

}  // namespace epson::sim::detail
