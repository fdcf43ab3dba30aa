#pragma once

// The control channel: fault directives (Script.hpp), one a line, each answered with one line,
// "ok[: what it did]" or "error: <why>". Several clients at once (up to kMaxControlClients; more
// are accepted and closed at once), each closed after idleTimeout without a line. A client's
// next line is read only once the answer to its last one is written, so a client that does not
// read holds one answer at most, and is closed when that answer cannot be written within
// writeTimeout. Every answer is one line of printable ASCII, whatever words it echoes. Runs on
// the simulator's I/O thread.

// <utility> first: Boost 1.74's awaitable.hpp uses std::exchange without including it.
#include <utility>

#include <boost/asio.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Listener.hpp"

namespace epson::sim::detail {

inline constexpr std::size_t kMaxControlClients = 8;

class ControlClient;

class ControlServer {
  public:
    // Applies one directive and returns its answer line (without the line feed).
    using Apply = std::function<std::string(const std::string& line)>;

    // Binds at once; throws std::runtime_error when the port cannot be bound.
    ControlServer(boost::asio::io_context& io, const boost::asio::ip::tcp::endpoint& endpoint,
                  std::chrono::milliseconds idleTimeout, std::chrono::milliseconds writeTimeout,
                  Apply apply);

    std::uint16_t port() const { return port_; }
    std::string address() const { return address_; }
    void begin();
    void shutdown();
    std::size_t clientCount() const { return clients_.size(); }

    // For the clients.
    std::string apply(const std::string& line) { return apply_(line); }
    void removeClient(const ControlClient* client);

  private:
    Listener listener_;
    std::uint16_t port_ = 0;
    std::string address_;
    std::chrono::milliseconds idleTimeout_;
    std::chrono::milliseconds writeTimeout_;
    Apply apply_;
    std::vector<std::shared_ptr<ControlClient>> clients_;
};

}  // namespace epson::sim::detail
