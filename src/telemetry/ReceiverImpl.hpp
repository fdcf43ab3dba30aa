#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/system/error_code.hpp>

#include "EventQueues.hpp"
#include "epson/EthernetReceiveInterface.hpp"

namespace epson {

/// How long connect() waits for the first complete sample.
inline constexpr std::chrono::seconds kReadinessTimeout{2};
/// Pause between a broken connection and the next attempt.
inline constexpr std::chrono::seconds kReconnectPause{1};
/// Bound of one TCP connect attempt to one endpoint, so that a peer that never answers the
/// handshake cannot hold the receiver (and a disconnect waiting for it) for minutes.
inline constexpr std::chrono::seconds kConnectAttemptTimeout{2};
/// How often a pending connect attempt checks for a stop request.
inline constexpr std::chrono::milliseconds kStopPollInterval{20};
/// Longest packet kept while waiting for its carriage return. A peer that sends more without
/// one is treated as broken, so it cannot grow the buffer without end.
inline constexpr std::size_t kMaxPacketBytes = 64 * 1024;
/// Fields collected across packets for one sample; a peer that keeps sending new keys without
/// ever completing a sample loses its collected fields instead of growing memory.
inline constexpr std::size_t kMaxPartialFields = 256;

class EthernetReceiveInterface::Impl {
  public:
    using Clock = std::chrono::steady_clock;

    Impl() = default;
    /// Runs disconnect(): the thread must be joined before the members go.
    ~Impl();
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    void connect(const std::string& host, unsigned short port);
    /// The disconnect sequence shared by the public disconnect, connect and the destructor.
    void disconnect();

    /// Looks host_:port_ up into endpoints_.
    /// @throw std::runtime_error "Failed to resolve Epson telemetry endpoint ..." on failure.
    void resolveEndpoints_();
    /// Connects socket_ to the first of endpoints_ that accepts.
    /// @throw std::runtime_error "Failed to connect to Epson telemetry at ..." when none does.
    void connectSocket_();
    /// The receiver thread's body.
    void receiveLoop_();
    /// Reads the next packet: the bytes up to the next carriage return, which is dropped; bytes
    /// after it stay in readBuffer_. A read interrupted by a signal is repeated.
    /// @throw boost::system::system_error at end of stream, on a reset or a shut-down socket,
    ///        and (not_found) when kMaxPacketBytes pass without a carriage return.
    std::string readPacket_();
    /// Turns one packet into a published sample or status, or collects its sample fields.
    /// @throw std::invalid_argument or std::out_of_range ("stod") for a value that is not a
    ///        number; nothing from the packet is used then.
    void parsePacket_(const std::string& packet);

    // --- Helpers of the receiver thread ---------------------------------------------------
    /// Makes @p sample the latest, wakes its waiters and hands it to the listeners.
    void publishSample_(const TelemetrySample& sample);
    /// One attempt on one endpoint, ended early by a stop request. Expects socketMutex_ held.
    boost::system::error_code connectEndpoint_(const boost::asio::ip::tcp::endpoint& endpoint);
    /// Drops the connection after a read error. Takes socketMutex_.
    void closeAfterReadError_();
    /// Waits kReconnectPause, or less when disconnect() asks the thread to stop.
    void pauseBeforeReconnect_();

    // --- Subscriptions and recording ---------------------------------------------------------
    /// Hands one published result to every subscription and the recording. Call only while
    /// listening_ is set, and without a store lock held.
    void deliver_(TelemetryEvent::Kind kind, const TelemetrySample& sample,
                  const ControllerStatus& status, Clock::time_point at);
    /// Expects listenersMutex_ held.
    void updateListening_();
    /// Closes every subscription and refuses new ones until the next connect() or reconnection.
    void endSubscriptions_();

    // --- Connection (declaration order matters: ioContext_ outlives socket_) ---------------
    boost::asio::io_context ioContext_;
    boost::asio::ip::tcp::socket socket_{ioContext_};
    /// One byte beyond kMaxPacketBytes leaves room for the carriage return of a full packet.
    boost::asio::streambuf readBuffer_{kMaxPacketBytes + 1};
    std::mutex socketMutex_;
    /// Held for the whole disconnect sequence, so that concurrent calls run one after another.
    std::mutex disconnectMutex_;
    std::thread thread_;
    std::atomic<bool> stopRequested_{true};
    std::atomic<bool> connected_{false};
    std::string host_;
    unsigned short port_ = EthernetReceiveInterface::kDefaultPort;

    using Endpoints = boost::asio::ip::tcp::resolver::results_type;
    /// The name lookup; a member so that tests can see when it runs.
    std::function<Endpoints(const std::string& host, const std::string& service,
                            boost::system::error_code& error)>
        lookUp_ = [this](const std::string& host, const std::string& service,
                         boost::system::error_code& error) {
            boost::asio::ip::tcp::resolver resolver(ioContext_);
            return resolver.resolve(host, service, error);
        };
    /// host_:port_ as looked up by the last connect(). Reconnections reuse it: nothing can
    /// interrupt a lookup, so one made on the receiver thread would hold up disconnect() until
    /// the resolver gave up, and a controller's address does not change under a running cell.
    Endpoints endpoints_;

    // --- Parser state (receiver thread only, except that connect() empties it) -------------
    std::map<std::string, double> partialFields_;
    /// The fields of the packet being parsed, in order; kept to reuse its storage.
    std::vector<std::pair<std::string, double>> packetFields_;

    // --- Published results ------------------------------------------------------------------
    std::mutex sampleMutex_;
    /// Woken after each published sample and by disconnect().
    std::condition_variable sampleCondition_;
    TelemetrySample sample_{};
    Clock::time_point sampleTime_{};
    bool hasSample_ = false;

    std::mutex statusMutex_;
    ControllerStatus status_;
    Clock::time_point statusTime_{};
    bool hasStatus_ = false;

    // --- Listeners ----------------------------------------------------------------------------
    /// Whether anything listens: the one check a published result costs when nothing does.
    std::atomic<bool> listening_{false};
    /// Guards the members below. The receiver thread holds it while it queues a result, which
    /// takes each queue's own lock only briefly; no I/O happens under it. Taken before
    /// statusMutex_ where both are held.
    mutable std::mutex listenersMutex_;
    /// While a connection is up: from the receiver thread's start in connect() (or a
    /// reconnection) until the connection breaks or the disconnect sequence.
    bool acceptingSubscriptions_ = false;
    /// A startRecording() is opening its file: the recording is taken, though not yet running.
    bool recordingStarting_ = false;
    std::vector<std::shared_ptr<TelemetrySubscription::Impl>> subscriptions_;
    std::unique_ptr<Recorder> recorder_;
};

}  // namespace epson
