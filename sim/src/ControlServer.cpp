#include "ControlServer.hpp"

#include <algorithm>
#include <stdexcept>

#include "CommandSession.hpp"

namespace epson::sim::detail {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

// An answer echoes words of its directive (an unknown name, a bad number, a pattern): a line
// break or a control character among them must not split the answer, or every later answer
// on the connection would be read one late.
std::string printableLine(const std::string& text) {
    std::string line;
    line.reserve(text.size());
    for (const char c : text) {
        line += c >= ' ' && c < 0x7f ? c : '?';
    }
    return line;
}

constexpr int kControlSendBuffer = 64 * 1024;

}  // namespace

class ControlClient : public std::enable_shared_from_this<ControlClient> {
  public:
    ControlClient(ControlServer& server, tcp::socket socket, std::chrono::milliseconds idle,
                  std::chrono::milliseconds writeTimeout)
        : server_(server),
          socket_(std::move(socket)),
          input_(kMaxLineLength),
          idle_(idle),
          writeTimeout_(writeTimeout),
          idleTimer_(socket_.get_executor()),
          writeTimer_(socket_.get_executor()) {}

    void start() { read(); }

    void close() {
        boost::system::error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
        idleTimer_.cancel();
        writeTimer_.cancel();
    }

  private:
    void read() {
        if (idle_.count() > 0) {
            idleTimer_.expires_after(idle_);
            idleTimer_.async_wait([self = shared_from_this()](const boost::system::error_code& e) {
                if (!e) {
                    self->server_.removeClient(self.get());  // idle: make room for another
                }
            });
        }
        asio::async_read_until(
            socket_, input_, '\n',
            [self = shared_from_this()](const boost::system::error_code& error, std::size_t n) {
                self->idleTimer_.cancel();
                if (error) {
                    self->server_.removeClient(self.get());
                    return;
                }
                std::string line(static_cast<const char*>(self->input_.data().data()), n - 1);
                self->input_.consume(n);
                if (!line.empty() && line.back() == '\r') {
                    line.pop_back();
                }
                self->answer(printableLine(self->server_.apply(line)) + "\n");
            });
    }

    void answer(std::string text) {
        answer_ = std::move(text);
        writing_ = true;
        if (writeTimeout_.count() > 0) {
            // Its next line is read only after this answer: a client that never reads would
            // otherwise keep its slot, idle timer and all, for good.
            writeTimer_.expires_after(writeTimeout_);
            writeTimer_.async_wait([self = shared_from_this()](const boost::system::error_code& e) {
                // The checks skip a wake-up that raced the write's completion and a re-arm.
                if (!e && self->writing_ &&
                    self->writeTimer_.expiry() <= std::chrono::steady_clock::now()) {
                    self->server_.removeClient(self.get());
                }
            });
        }
        asio::async_write(
            socket_, asio::buffer(answer_),
            [self = shared_from_this()](const boost::system::error_code& error, std::size_t) {
                self->writing_ = false;
                self->writeTimer_.cancel();
                if (error) {
                    self->server_.removeClient(self.get());
                    return;
                }
                self->read();
            });
    }

    ControlServer& server_;
    tcp::socket socket_;
    asio::streambuf input_;
    std::string answer_;
    bool writing_ = false;
    std::chrono::milliseconds idle_;
    std::chrono::milliseconds writeTimeout_;
    asio::steady_timer idleTimer_;
    asio::steady_timer writeTimer_;
};

ControlServer::ControlServer(asio::io_context& io, const tcp::endpoint& endpoint,
                             std::chrono::milliseconds idleTimeout,
                             std::chrono::milliseconds writeTimeout, Apply apply)
    : listener_(io),
      idleTimeout_(idleTimeout),
      writeTimeout_(writeTimeout),
      apply_(std::move(apply)) {
    try {
        listener_.open(endpoint);
    } catch (const boost::system::system_error& e) {
        throw std::runtime_error("cannot listen for control on " + endpoint.address().to_string() +
                                 ":" + std::to_string(endpoint.port()) + ": " + e.code().message());
    }
    port_ = listener_.localEndpoint().port();
    address_ = listener_.localEndpoint().address().to_string();
}

void ControlServer::begin() {
    listener_.start([this](tcp::socket socket) {
        if (clients_.size() >= kMaxControlClients) {
            boost::system::error_code ignored;
            socket.shutdown(tcp::socket::shutdown_both, ignored);
            socket.close(ignored);
            return;
        }
        // A fixed send buffer, as on the telemetry port: a client that never reads stalls its
        // answers within a few hundred lines and meets the write deadline, however slowly the
        // directives before it were applied.
        boost::system::error_code ignored;
        socket.set_option(asio::socket_base::send_buffer_size(kControlSendBuffer), ignored);
        auto client =
            std::make_shared<ControlClient>(*this, std::move(socket), idleTimeout_, writeTimeout_);
        clients_.push_back(client);
        client->start();
    });
}

void ControlServer::shutdown() {
    listener_.close();
    for (auto& client : clients_) {
        client->close();
    }
    clients_.clear();
}

void ControlServer::removeClient(const ControlClient* client) {
    const auto it = std::find_if(clients_.begin(), clients_.end(),
                                 [client](const auto& c) { return c.get() == client; });
    if (it != clients_.end()) {
        (*it)->close();
        clients_.erase(it);
    }
}

}  // namespace epson::sim::detail
