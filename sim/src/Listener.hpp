#pragma once

// A listening socket of the simulator (command, telemetry, control): accepts connections one at
// a time and hands each to its owner. A failed accept, above all for want of descriptors, waits
// a moment before the next try: retrying at once would spin a core and starve the clients
// already connected.

// <utility> first: Boost 1.74's awaitable.hpp uses std::exchange without including it.
#include <utility>

#include <boost/asio.hpp>

#include <chrono>
#include <functional>

namespace epson::sim::detail {

inline constexpr std::chrono::milliseconds kAcceptBackoff{100};

class Listener {
  public:
    using Handler = std::function<void(boost::asio::ip::tcp::socket)>;

    explicit Listener(boost::asio::io_context& io);

    // Binds with address reuse and listens; throws boost::system::system_error.
    void open(const boost::asio::ip::tcp::endpoint& endpoint);
    // Accepts until closed, handing every connection to the handler.
    void start(Handler handler);
    void close();
    bool isOpen() const { return acceptor_.is_open(); }
    boost::asio::ip::tcp::endpoint localEndpoint() const { return acceptor_.local_endpoint(); }
    // Failed accepts so far (each followed by a back-off).
    std::size_t failures() const { return failures_; }

  private:
    void accept();

    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer backoff_;
    Handler handler_;
    std::size_t failures_ = 0;
};

// The endpoint for a host name or address and a port, as a listener binds it; throws
// std::runtime_error naming the host when it does not resolve.
boost::asio::ip::tcp::endpoint resolveEndpoint(boost::asio::io_context& io, const std::string& host,
                                               std::uint16_t port);

}  // namespace epson::sim::detail
