#include "ControlServer.hpp"

#include <algorithm>
#include <stdexcept>

#include "CommandSession.hpp"

namespace epson::sim::detail {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

class ControlClient : public std::enable_shared_from_this<ControlClient> {
  public:
    ControlClient(ControlServer& server, tcp::socket socket, std::chrono::milliseconds idle)
        : server_(server),
          socket_(std::move(socket)),
          input_(kMaxLineLength),
          idle_(idle),
          idleTimer_(socket_.get_executor()) {}

    void start() { read(); }

    void close() {
        boost::system::error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
        idleTimer_.cancel();
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
                self->answer(self->server_.apply(line) + "\n");
            });
    }

    void answer(std::string text) {
        answer_ = std::move(text);
        asio::async_write(
            socket_, asio::buffer(answer_),
            [self = shared_from_this()](const boost::system::error_code& error, std::size_t) {
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
    std::chrono::milliseconds idle_;
    asio::steady_timer idleTimer_;
};

ControlServer::ControlServer(asio::io_context& io, const tcp::endpoint& endpoint,
                             std::chrono::milliseconds idleTimeout, Apply apply)
    : listener_(io), idleTimeout_(idleTimeout), apply_(std::move(apply)) {
    try {
        listener_.open(endpoint);
    } catch (const boost::system::system_error& e) {
        throw std::runtime_error("epson-sim: cannot listen for control on " +
                                 endpoint.address().to_string() + ":" +
                                 std::to_string(endpoint.port()) + ": " + e.code().message());
    }
    port_ = listener_.localEndpoint().port();
}

void ControlServer::begin() {
    listener_.start([this](tcp::socket socket) {
        if (clients_.size() >= kMaxControlClients) {
            boost::system::error_code ignored;
            socket.shutdown(tcp::socket::shutdown_both, ignored);
            socket.close(ignored);
            return;
        }
        auto client = std::make_shared<ControlClient>(*this, std::move(socket), idleTimeout_);
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
