#pragma once

// The telemetry side: accepts up to kMaxTelemetryClients clients (more are accepted and closed
// at once) and sends each, every period, the sample line and after every tenth sample the
// status line, shaped by the telemetry mode. A client that does not take a packet within the
// write deadline (one that never reads) is closed, so it cannot keep its slot. Runs on the
// simulator's I/O thread; every method must be called there.

// <utility> first: Boost 1.74's awaitable.hpp uses std::exchange without including it.
#include <utility>

#include <boost/asio.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Listener.hpp"
#include "epson_sim/Simulator.hpp"

namespace epson::sim::detail {

inline constexpr std::size_t kMaxTelemetryClients = 64;

class TelemetryClient;

struct TelemetryContent {
    // The sample line, with the status line after it when withStatus; values as "??" when
    // garbled.
    std::function<std::string(bool withSample, bool withStatus, bool garbled)> packet;
};

class TelemetryServer {
  public:
    // Binds at once; throws std::runtime_error when the port cannot be bound.
    TelemetryServer(boost::asio::io_context& io, const boost::asio::ip::tcp::endpoint& endpoint,
                    std::chrono::steady_clock::duration period,
                    std::chrono::milliseconds writeTimeout, TelemetryContent content,
                    std::atomic<TelemetryMode>& mode, std::atomic<std::size_t>& clientCount,
                    std::atomic<std::uint64_t>& samplesSent);

    std::uint16_t port() const { return endpoint_.port(); }
    std::string address() const { return endpoint_.address().to_string(); }
    void begin();
    void shutdown();
    void applyMode(TelemetryMode mode);
    // The bytes exactly as given, once, to every connected client.
    void sendRaw(const std::string& bytes);
    void removeClient(const TelemetryClient* client);
    // A client's write of a packet with a well-formed sample line completed.
    void sampleWritten() { ++samplesSent_; }
    std::chrono::milliseconds writeTimeout() const { return writeTimeout_; }

  private:
    void accepted(boost::asio::ip::tcp::socket socket);
    void openAcceptor();
    void closeClients();
    void scheduleTick();
    void onTick();
    // The one place where a tick's packet goes to every client.
    void sendPacket(const std::shared_ptr<const std::string>& packet, bool carriesSample);

    Listener listener_;
    boost::asio::ip::tcp::endpoint endpoint_;
    boost::asio::steady_timer tickTimer_;
    std::chrono::steady_clock::duration period_;
    std::chrono::milliseconds writeTimeout_;
    std::chrono::steady_clock::time_point nextTick_;
    TelemetryContent content_;
    std::atomic<TelemetryMode>& mode_;
    std::atomic<std::size_t>& clientCount_;
    std::atomic<std::uint64_t>& samplesSent_;
    std::vector<std::shared_ptr<TelemetryClient>> clients_;
    std::uint64_t tick_ = 0;
    bool stopping_ = false;
};

}  // namespace epson::sim::detail
