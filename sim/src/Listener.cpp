#include "Listener.hpp"

#include <stdexcept>
#include <string>

namespace epson::sim::detail {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

Listener::Listener(asio::io_context& io) : acceptor_(io), backoff_(io) {}

void Listener::open(const tcp::endpoint& endpoint) {
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(asio::socket_base::reuse_address(true));
    if (endpoint.address().is_v6()) {
        acceptor_.set_option(asio::ip::v6_only(true));
    }
    acceptor_.bind(endpoint);
    acceptor_.listen();
}

void Listener::start(Handler handler) {
    handler_ = std::move(handler);
    accept();
}

void Listener::close() {
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    backoff_.cancel();
}

void Listener::accept() {
    if (!acceptor_.is_open()) {
        return;
    }
    acceptor_.async_accept([this](const boost::system::error_code& error, tcp::socket socket) {
        if (error == asio::error::operation_aborted || !acceptor_.is_open()) {
            return;
        }
        if (error) {
            ++failures_;
            backoff_.expires_after(kAcceptBackoff);
            backoff_.async_wait([this](const boost::system::error_code& waitError) {
                if (!waitError) {
                    accept();
                }
            });
            return;
        }
        handler_(std::move(socket));
        accept();
    });
}

tcp::endpoint resolveEndpoint(asio::io_context& io, const std::string& host, std::uint16_t port) {
    tcp::resolver resolver(io);
    boost::system::error_code error;
    const auto results = resolver.resolve(
        host, std::to_string(port), tcp::resolver::passive | tcp::resolver::numeric_service, error);
    if (error || results.empty()) {
        throw std::runtime_error("cannot resolve " + host + ": " +
                                 (error ? error.message() : "no address"));
    }
    return results.begin()->endpoint();
}

}  // namespace epson::sim::detail
