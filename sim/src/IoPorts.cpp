#include "IoPorts.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace epson::sim::detail {

void IoPorts::tie(const InputTie& tie) {
    if (tie.output >= kOutputBits || tie.input >= kInputBits) {
        throw std::invalid_argument("tied bits must be between 0 and " +
                                    std::to_string(kOutputBits - 1));
    }
    if (tie.delay < Clock::duration::zero() || tie.delay > kMaxTieDelay) {
        throw std::invalid_argument("a tie's delay must be between 0 and " +
                                    std::to_string(kMaxTieDelay.count()) + " s");
    }
    for (std::size_t i = 0; i < ties_.size(); ++i) {
        if (ties_[i].output == tie.output && ties_[i].input == tie.input) {
            ties_[i] = tie;
            pending_[i].reset();
            return;
        }
    }
    if (ties_.size() >= kMaxInputTies) {
        throw std::invalid_argument("at most " + std::to_string(kMaxInputTies) +
                                    " input ties at once");
    }
    ties_.push_back(tie);
    pending_.emplace_back();
}

void IoPorts::clearTies() {
    ties_.clear();
    pending_.clear();
}

void IoPorts::setOutput(std::size_t bit, bool on, Clock::time_point now) {
    outputs_.set(bit, on);
    for (std::size_t i = 0; i < ties_.size(); ++i) {
        if (ties_[i].output == bit) {
            pending_[i] = Pending{now + ties_[i].delay, on != ties_[i].inverted};
        }
    }
}

bool IoPorts::settle(Inputs& inputs, Clock::time_point now) {
    std::vector<std::size_t> due;
    for (std::size_t i = 0; i < pending_.size(); ++i) {
        if (pending_[i] && pending_[i]->at <= now) {
            due.push_back(i);
        }
    }
    std::stable_sort(due.begin(), due.end(), [this](std::size_t a, std::size_t b) {
        return pending_[a]->at < pending_[b]->at;
    });
    for (const std::size_t i : due) {
        inputs.set(ties_[i].input, pending_[i]->on);
        pending_[i].reset();
    }
    return !due.empty();
}

Inputs IoPorts::inputsAt(Inputs inputs, Clock::time_point now) const {
    IoPorts copy = *this;
    copy.settle(inputs, now);
    return inputs;
}

std::optional<IoPorts::Clock::time_point> IoPorts::nextChange() const {
    std::optional<Clock::time_point> next;
    for (const auto& pending : pending_) {
        if (pending && (!next || pending->at < *next)) {
            next = pending->at;
        }
    }
    return next;
}

}  // namespace epson::sim::detail
