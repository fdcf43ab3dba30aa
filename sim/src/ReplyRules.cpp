#include "ReplyRules.hpp"

#include <re2/re2.h>

#include <stdexcept>

namespace epson::sim::detail {

bool lineMatches(const std::string& line, const std::string& pattern, const re2::RE2* regex) {
    return regex ? re2::RE2::PartialMatch(line, *regex) : line.find(pattern) != std::string::npos;
}

std::shared_ptr<const re2::RE2> compilePattern(const std::string& pattern, MatchMode mode) {
    if (mode != MatchMode::Regex) {
        return nullptr;
    }
    re2::RE2::Options options;
    options.set_log_errors(false);
    auto regex = std::make_shared<const re2::RE2>(pattern, options);
    if (!regex->ok()) {
        throw std::invalid_argument("invalid regular expression \"" + pattern +
                                    "\": " + regex->error());
    }
    return regex;
}

std::string wireLines(const std::string& reply) {
    std::string bytes;
    std::size_t begin = 0;
    for (;;) {
        const std::size_t end = reply.find('\n', begin);
        std::string line = reply.substr(begin, end == std::string::npos ? end : end - begin);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        bytes += line + "\r\n";
        if (end == std::string::npos) {
            return bytes;
        }
        begin = end + 1;
    }
}

Rule makeRule(const std::string& pattern, MatchMode mode, RuleAction action,
              std::optional<int> times) {
    if (times && *times < 0) {
        throw std::invalid_argument("times must not be negative");
    }
    Rule rule;
    rule.pattern = pattern;
    rule.mode = mode;
    rule.regex = compilePattern(pattern, mode);
    rule.action = action;
    rule.remaining = times.value_or(-1);
    return rule;
}

void RuleBook::add(Rule rule) {
    if (rule.remaining == 0) {
        return;  // spent before it could apply
    }
    std::lock_guard lock(mutex_);
    if (rules_.size() >= kMaxRules) {
        throw std::length_error("at most " + std::to_string(kMaxRules) +
                                " rules at once; spent ones leave, clear-rules removes all");
    }
    rules_.push_back(std::move(rule));
}

std::optional<Rule> RuleBook::take(const std::string& line) {
    std::lock_guard lock(mutex_);
    for (auto it = rules_.begin(); it != rules_.end(); ++it) {
        if (!lineMatches(line, it->pattern, it->regex.get())) {
            continue;
        }
        if (it->remaining > 0 && --it->remaining == 0) {
            Rule spent = std::move(*it);
            rules_.erase(it);  // neither kept nor scanned again
            return spent;
        }
        return *it;
    }
    return std::nullopt;
}

std::size_t RuleBook::size() const {
    std::lock_guard lock(mutex_);
    return rules_.size();
}

ReplyStyle RuleBook::style() const {
    std::lock_guard lock(mutex_);
    return style_;
}

void RuleBook::setSplit(int segments, std::chrono::milliseconds gap) {
    if (segments < 1 || gap.count() < 0 || gap > std::chrono::hours(24 * 365)) {
        throw std::invalid_argument("segments must be at least 1 and the gap between 0 and a year");
    }
    std::lock_guard lock(mutex_);
    style_.segments = segments;
    style_.gap = gap;
}

void RuleBook::setCoalesce(bool on) {
    std::lock_guard lock(mutex_);
    style_.coalesce = on;
}

void RuleBook::clear() {
    std::lock_guard lock(mutex_);
    rules_.clear();
    style_ = ReplyStyle{};
}

}  // namespace epson::sim::detail
