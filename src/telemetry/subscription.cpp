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

/// Longer waits are cut to this, so that adding it to the clock cannot overflow.
constexpr std::chrono::hours kLongestWait{24 * 365};

double secondsOf(std::chrono::nanoseconds sinceEpoch) {
    return static_cast<double>(sinceEpoch.count()) / 1e9;
}

}  // namespace

// --- EventRing -------------------------------------------------------------------------------

bool EventRing::push(TelemetryEvent::Kind kind, const TelemetrySample& sample,
                     const ControllerStatus& status, ReceiveTime time,
                     TelemetryEvent::Kind* droppedKind) {
    bool overwrote = false;
    if (size_ == capacity_) {
        const TelemetryEvent::Kind dropped = dropOldest_();
        if (droppedKind != nullptr) {
            *droppedKind = dropped;
        }
        overwrote = true;
    }
    if (chunks_.empty() || tail_ == kChunkSize) {
        chunks_.push_back(spare_ ? std::move(spare_) : std::make_unique<Chunk>());
        tail_ = 0;
    }
    TelemetryEvent& slot = chunks_.back()->slots[tail_++];
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
    TelemetryEvent event = std::move(chunks_.front()->slots[head_++]);
    --size_;
    releaseFrontIfSpent_();
    return event;
}

TelemetryEvent::Kind EventRing::dropOldest_() {
    const TelemetryEvent::Kind kind = chunks_.front()->slots[head_++].kind;
    --size_;
    releaseFrontIfSpent_();
    return kind;
}

void EventRing::releaseFrontIfSpent_() {
    const bool onlyChunk = chunks_.size() == 1;
    if (head_ < (onlyChunk ? tail_ : kChunkSize) && size_ > 0) {
        return;
    }
    if (onlyChunk) {
        // Empty: start the one chunk over instead of giving it up.
        head_ = 0;
        tail_ = 0;
        return;
    }
    // Freeing a chunk of maps costs more than keeping it, so one waits for the next growth.
    spare_ = std::move(chunks_.front());
    chunks_.pop_front();
    head_ = 0;
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
        TelemetryEvent::Kind droppedKind{};
        if (ring_.push(kind, sample, status, time, &droppedKind)) {
            ++dropped_;
            droppedSamples_ += droppedKind == TelemetryEvent::Kind::Sample ? 1 : 0;
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

std::uint64_t TelemetrySubscription::Impl::droppedSamples() const {
    std::lock_guard lock(mutex_);
    return droppedSamples_;
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

std::uint64_t TelemetrySubscription::droppedSamples() const {
    return impl_->droppedSamples();
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
