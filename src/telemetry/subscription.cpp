// Subscriptions: every published sample and status, queued per consumer.

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "EventQueues.hpp"
#include "ReceiverImpl.hpp"

namespace epson {
namespace {

/// The first slots a ring allocates; it doubles from there up to its capacity.
constexpr std::size_t kInitialSlots = 64;
/// Longer waits are cut to this, so that adding it to the clock cannot overflow.
constexpr std::chrono::hours kLongestWait{24 * 365};

double secondsOf(std::chrono::nanoseconds sinceEpoch) {
    return static_cast<double>(sinceEpoch.count()) / 1e9;
}

}  // namespace

// --- EventRing -------------------------------------------------------------------------------

bool EventRing::push(TelemetryEvent::Kind kind, const TelemetrySample& sample,
                     const ControllerStatus& status, ReceiveTime time) {
    bool overwrote = false;
    if (size_ == slots_.size()) {
        if (slots_.size() < capacity_) {
            std::vector<TelemetryEvent> grown;
            grown.reserve(std::min(std::max(kInitialSlots, 2 * slots_.size()), capacity_));
            for (std::size_t i = 0; i < size_; ++i) {
                grown.push_back(std::move(slots_[(head_ + i) % slots_.size()]));
            }
            grown.resize(grown.capacity());
            slots_ = std::move(grown);
            head_ = 0;
        } else {
            head_ = (head_ + 1) % slots_.size();
            --size_;
            overwrote = true;
        }
    }
    TelemetryEvent& slot = slots_[(head_ + size_) % slots_.size()];
    slot.kind = kind;
    slot.sample = sample;
    if (kind == TelemetryEvent::Kind::Status) {
        slot.status = status;  // reuses the slot's nodes when it held a status before
    } else {
        slot.status.clear();
    }
    slot.monotonicSeconds = time.monotonicSeconds;
    slot.wallSeconds = time.wallSeconds;
    ++size_;
    return overwrote;
}

TelemetryEvent EventRing::pop() {
    TelemetryEvent event = std::move(slots_[head_]);
    head_ = (head_ + 1) % slots_.size();
    --size_;
    return event;
}

// --- Subscription ----------------------------------------------------------------------------

bool TelemetrySubscription::Impl::publish(TelemetryEvent::Kind kind, const TelemetrySample& sample,
                                          const ControllerStatus& status, ReceiveTime time) {
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        if (closed_) {
            return false;
        }
        if (ring_.push(kind, sample, status, time)) {
            ++dropped_;
        }
        wake = waiters_ > 0;
    }
    if (wake) {
        ready_.notify_one();
    }
    return true;
}

std::optional<TelemetryEvent> TelemetrySubscription::Impl::pop(std::chrono::nanoseconds timeout) {
    std::unique_lock lock(mutex_);
    if (ring_.empty() && !closed_ && timeout > std::chrono::nanoseconds::zero()) {
        ++waiters_;
        ready_.wait_for(lock, std::min<std::chrono::nanoseconds>(timeout, kLongestWait),
                        [this] { return !ring_.empty() || closed_; });
        --waiters_;
    }
    if (ring_.empty()) {
        return std::nullopt;
    }
    return ring_.pop();
}

void TelemetrySubscription::Impl::close() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    ready_.notify_all();
}

bool TelemetrySubscription::Impl::closed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

std::uint64_t TelemetrySubscription::Impl::dropped() const {
    std::lock_guard lock(mutex_);
    return dropped_;
}

TelemetrySubscription::TelemetrySubscription(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

TelemetrySubscription::~TelemetrySubscription() {
    // The receiver holds the queue, not this handle; without a handle nobody can read it.
    impl_->close();
}

std::optional<TelemetryEvent> TelemetrySubscription::pop(std::chrono::milliseconds timeout) {
    return impl_->pop(timeout);
}

std::uint64_t TelemetrySubscription::dropped() const {
    return impl_->dropped();
}

void TelemetrySubscription::close() {
    impl_->close();
}

bool TelemetrySubscription::closed() const {
    return impl_->closed();
}

std::size_t TelemetrySubscription::capacity() const {
    return impl_->capacity();
}

// --- The receiver's side ---------------------------------------------------------------------

void EthernetReceiveInterface::Impl::deliver_(TelemetryEvent::Kind kind,
                                              const TelemetrySample& sample,
                                              const ControllerStatus& status,
                                              Clock::time_point at) {
    const ReceiveTime time{secondsOf(at.time_since_epoch()),
                           secondsOf(std::chrono::system_clock::now().time_since_epoch())};
    std::lock_guard lock(listenersMutex_);
    bool ended = false;
    for (const auto& subscription : subscriptions_) {
        ended = !subscription->publish(kind, sample, status, time) || ended;
    }
    if (ended) {
        std::erase_if(subscriptions_, [](const auto& s) { return s->closed(); });
        updateListening_();
    }
    if (recorder_) {
        recorder_->publish(kind, sample, status, time);
    }
}

void EthernetReceiveInterface::Impl::updateListening_() {
    listening_.store(!subscriptions_.empty() || recorder_ != nullptr);
}

void EthernetReceiveInterface::Impl::endSubscriptions_() {
    std::lock_guard lock(listenersMutex_);
    acceptingSubscriptions_ = false;
    for (const auto& subscription : subscriptions_) {
        subscription->close();
    }
    subscriptions_.clear();
    updateListening_();
}

std::shared_ptr<TelemetrySubscription> EthernetReceiveInterface::subscribe(std::size_t capacity) {
    if (capacity == 0 || capacity > kMaxSubscriptionCapacity) {
        throw std::invalid_argument("Subscription capacity must be between 1 and " +
                                    std::to_string(kMaxSubscriptionCapacity) + ", not " +
                                    std::to_string(capacity));
    }
    auto queue = std::make_shared<TelemetrySubscription::Impl>(capacity);
    auto subscription = std::make_shared<TelemetrySubscription>(queue);
    std::lock_guard lock(impl_->listenersMutex_);
    if (!impl_->acceptingSubscriptions_) {
        throw std::runtime_error("Cannot subscribe: the Epson telemetry receiver is not connected");
    }
    impl_->subscriptions_.push_back(std::move(queue));
    impl_->updateListening_();
    return subscription;
}

}  // namespace epson
