// Telemetry receiver: connection, receiver thread, reconnection and the public accessors.

#include <chrono>
#include <exception>
#include <limits>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include <boost/asio/buffers_iterator.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/system/system_error.hpp>

#include "ReceiverImpl.hpp"

namespace epson {
namespace {

using boost::asio::ip::tcp;

constexpr const char* kNoSampleMessage =
    "Connected to the Epson telemetry port, but no complete six-axis sample was received "
    "within 2 seconds. Check that the controller Background Task is running and continuously "
    "writing all X-W and J1-J6 angle fields.";

double secondsSince(bool has, std::chrono::steady_clock::time_point time) {
    if (!has) {
        return std::numeric_limits<double>::infinity();
    }
    const auto age = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now() - time);
    return static_cast<double>(age.count()) / 1e9;
}

}  // namespace

// --- Impl ---------------------------------------------------------------------------------

EthernetReceiveInterface::Impl::~Impl() {
    disconnect();
}

void EthernetReceiveInterface::Impl::connect(const std::string& host, unsigned short port) {
    disconnect();
    {
        std::lock_guard lock(sampleMutex_);
        hasSample_ = false;
    }
    {
        std::lock_guard lock(statusMutex_);
        hasStatus_ = false;
    }
    partialFields_.clear();
    host_ = host;
    port_ = port;
    stopRequested_.exchange(false);

    resolveEndpoints_();
    connectSocket_();
    try {
        thread_ = std::thread([this] { receiveLoop_(); });
    } catch (...) {
        disconnect();
        throw;
    }
    {
        std::lock_guard lock(listenersMutex_);
        acceptingSubscriptions_ = true;
    }

    std::unique_lock lock(sampleMutex_);
    const auto deadline = Clock::now() + kReadinessTimeout;
    sampleCondition_.wait_until(lock, deadline,
                                [this] { return hasSample_ || stopRequested_.load(); });
    if (hasSample_) {
        return;
    }
    lock.unlock();
    disconnect();
    throw std::runtime_error(kNoSampleMessage);
}

void EthernetReceiveInterface::Impl::disconnect() {
    // Two callers at once (two threads, a with block against another thread, the station's
    // disconnect against the receiver's) would otherwise both join the one thread, and a
    // second join never returns. The second caller waits for the first to finish instead.
    std::lock_guard sequence(disconnectMutex_);
    stopRequested_.exchange(true);
    connected_.exchange(false);
    {
        // A waiter that checked the stop flag before it was set still holds this lock until it
        // sleeps, so passing through it first means the wake-up below cannot be missed.
        std::lock_guard lock(sampleMutex_);
    }
    sampleCondition_.notify_all();

    {
        std::lock_guard lock(socketMutex_);
        if (socket_.is_open()) {
            boost::system::error_code ignored;
            socket_.cancel(ignored);
            // Wakes a read blocked on this socket. Closing it here would race with that read,
            // so a running thread's socket is closed only after the join.
            socket_.shutdown(tcp::socket::shutdown_both, ignored);
            if (!thread_.joinable()) {
                socket_.close(ignored);
            }
        }
    }
    if (thread_.joinable()) {
        thread_.join();
    }
    {
        std::lock_guard lock(socketMutex_);
        if (socket_.is_open()) {
            boost::system::error_code ignored;
            socket_.shutdown(tcp::socket::shutdown_both, ignored);
            socket_.close(ignored);
        }
    }
    readBuffer_.consume(readBuffer_.size());
    // After the join: nothing is published any more, so every queued entry stays readable and
    // no subscription gets one after it ended.
    endSubscriptions_();
    connected_.exchange(false);
}

void EthernetReceiveInterface::Impl::resolveEndpoints_() {
    const std::string port = std::to_string(port_);
    boost::system::error_code error;
    endpoints_ = lookUp_(host_, port, error);
    if (error) {
        endpoints_ = {};
        throw std::runtime_error("Failed to resolve Epson telemetry endpoint " + host_ + ":" +
                                 port + ": " + error.message());
    }
}

void EthernetReceiveInterface::Impl::connectSocket_() {
    std::lock_guard lock(socketMutex_);
    boost::system::error_code ignored;
    if (socket_.is_open()) {
        socket_.close(ignored);
    }

    const std::string port = std::to_string(port_);
    boost::system::error_code error = boost::asio::error::not_found;  // when the list is empty
    for (const auto& entry : endpoints_) {
        error = connectEndpoint_(entry.endpoint());
        if (!error || error == boost::asio::error::operation_aborted) {
            break;
        }
    }
    if (error) {
        throw std::runtime_error("Failed to connect to Epson telemetry at " + host_ + ":" + port +
                                 ": " + error.message());
    }
    socket_.set_option(tcp::no_delay(true), ignored);
    // The bounded connect leaves the socket in non-blocking mode, which would turn every
    // blocking read into receive, poll and receive again: three system calls per packet.
    socket_.native_non_blocking(false, ignored);
    connected_.exchange(true);
}

boost::system::error_code EthernetReceiveInterface::Impl::connectEndpoint_(
    const tcp::endpoint& endpoint) {
    boost::system::error_code ignored;
    socket_.close(ignored);

    // Asynchronous, so that the attempt can be bounded and abandoned on a stop request.
    std::optional<boost::system::error_code> result;
    ioContext_.restart();
    socket_.async_connect(endpoint,
                          [&result](const boost::system::error_code& error) { result = error; });
    const auto deadline = Clock::now() + kConnectAttemptTimeout;
    while (!result) {
        ioContext_.run_one_for(kStopPollInterval);
        if (result) {
            break;
        }
        const bool stop = stopRequested_.load();
        if (stop || Clock::now() >= deadline) {
            socket_.close(ignored);  // aborts the pending connect
            ioContext_.run();        // runs its handler, which refers to this frame
            result = stop ? boost::asio::error::operation_aborted : boost::asio::error::timed_out;
        }
    }
    if (*result) {
        socket_.close(ignored);
    }
    return *result;
}

void EthernetReceiveInterface::Impl::receiveLoop_() {
    while (!stopRequested_.load()) {
        std::string packet;
        try {
            packet = readPacket_();
        } catch (const std::exception&) {
            // End of stream, reset, a socket shut down by disconnect(), or more than
            // kMaxPacketBytes without a carriage return (not_found).
            connected_.exchange(false);
            closeAfterReadError_();
            if (stopRequested_.load()) {
                return;
            }
            pauseBeforeReconnect_();
            if (stopRequested_.load()) {
                return;
            }
            try {
                connectSocket_();
                std::lock_guard lock(listenersMutex_);
                acceptingSubscriptions_ = true;  // the new connection starts new streams
            } catch (const std::exception&) {
                // The closed socket fails the next read, which schedules the next attempt.
            }
            continue;
        }

        try {
            parsePacket_(packet);
        } catch (const std::exception&) {
            partialFields_.clear();  // a bad packet also spoils the sample being collected
        }
    }
}

std::string EthernetReceiveInterface::Impl::readPacket_() {
    boost::system::error_code error;
    std::size_t length = 0;
    do {
        // A signal handled by this thread fails the blocking read with EINTR. That says nothing
        // about the connection, and the bytes read before it stay in readBuffer_.
        length = boost::asio::read_until(socket_, readBuffer_, '\r', error);
    } while (error == boost::asio::error::interrupted);
    if (error) {
        throw boost::system::system_error(error);
    }
    const auto begin = boost::asio::buffers_begin(readBuffer_.data());
    std::string packet(begin, begin + static_cast<std::ptrdiff_t>(length - 1));
    readBuffer_.consume(length);
    return packet;
}

void EthernetReceiveInterface::Impl::closeAfterReadError_() {
    {
        std::lock_guard lock(socketMutex_);
        if (socket_.is_open()) {
            boost::system::error_code ignored;
            socket_.shutdown(tcp::socket::shutdown_both, ignored);
            socket_.close(ignored);
        }
    }
    readBuffer_.consume(readBuffer_.size());
    // Fields from before the break must not complete a sample with fields read after it.
    partialFields_.clear();
    // A stream that went on after the break would hide the gap: its readers see the end.
    endSubscriptions_();
}

void EthernetReceiveInterface::Impl::pauseBeforeReconnect_() {
    // disconnect() wakes this condition, so a stop does not wait out the pause.
    std::unique_lock lock(sampleMutex_);
    sampleCondition_.wait_for(lock, kReconnectPause, [this] { return stopRequested_.load(); });
}

// --- Public interface -----------------------------------------------------------------------

EthernetReceiveInterface::EthernetReceiveInterface() : impl_(std::make_unique<Impl>()) {}

EthernetReceiveInterface::~EthernetReceiveInterface() = default;

void EthernetReceiveInterface::connect(const std::string& host, unsigned short port) {
    impl_->connect(host, port);
}

void EthernetReceiveInterface::disconnect() {
    impl_->disconnect();
}

bool EthernetReceiveInterface::isConnected() const {
    return impl_->connected_.load();
}

bool EthernetReceiveInterface::hasSample() const {
    std::lock_guard lock(impl_->sampleMutex_);
    return impl_->hasSample_;
}

TelemetrySample EthernetReceiveInterface::getSample() const {
    std::lock_guard lock(impl_->sampleMutex_);
    if (!impl_->hasSample_) {
        throw std::runtime_error("No complete Epson telemetry sample has been received");
    }
    return impl_->sample_;
}

TelemetryEvent EthernetReceiveInterface::getTimedSample() const {
    TelemetryEvent event;
    Impl::Clock::time_point at;
    {
        std::lock_guard lock(impl_->sampleMutex_);
        if (!impl_->hasSample_) {
            throw std::runtime_error("No complete Epson telemetry sample has been received");
        }
        event.sample = impl_->sample_;
        at = impl_->sampleTime_;
    }
    const auto age = Impl::Clock::now() - at;
    // As a subscription's event states it, to the bit.
    event.monotonicSeconds =
        static_cast<double>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count()) /
        1e9;
    event.wallSeconds =
        std::chrono::duration<double>((std::chrono::system_clock::now() - age).time_since_epoch())
            .count();
    return event;
}

double EthernetReceiveInterface::sampleAgeSeconds() const {
    std::lock_guard lock(impl_->sampleMutex_);
    return secondsSince(impl_->hasSample_, impl_->sampleTime_);
}

bool EthernetReceiveInterface::hasControllerStatus() const {
    std::lock_guard lock(impl_->statusMutex_);
    return impl_->hasStatus_;
}

ControllerStatus EthernetReceiveInterface::getControllerStatus() const {
    std::lock_guard lock(impl_->statusMutex_);
    if (!impl_->hasStatus_) {
        throw std::runtime_error("No Epson controller-status packet has been received");
    }
    return impl_->status_;
}

double EthernetReceiveInterface::controllerStatusAgeSeconds() const {
    std::lock_guard lock(impl_->statusMutex_);
    return secondsSince(impl_->hasStatus_, impl_->statusTime_);
}

}  // namespace epson
