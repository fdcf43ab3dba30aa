#pragma once

// The reply rules that tests use to fake a misbehaving controller, and how replies are shaped
// on the wire. Thread-safe: tests add rules while the I/O thread takes them.

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "epson_sim/Simulator.hpp"

namespace re2 {
class RE2;
}

namespace epson::sim::detail {

enum class RuleAction {
    Delay,          // execute at once, reply later
    Answer,         // reply with canned bytes instead of executing
    Silent,         // neither execute nor reply
    Drop,           // close the connection instead of executing
    Reset,          // reset the connection (RST) instead of executing
    ExecuteDrop,    // execute, then close the connection instead of replying
    ExecuteReset,   // execute, then reset the connection instead of replying
    ExecuteAnswer,  // execute, then send canned bytes instead of the reply
};

struct Rule {
    std::string pattern;
    MatchMode mode = MatchMode::Substring;
    std::shared_ptr<const re2::RE2> regex;
    RuleAction action = RuleAction::Delay;
    std::chrono::milliseconds delay{0};
    std::string bytes;   // Answer, ExecuteAnswer: exactly what goes on the wire
    int remaining = -1;  // < 0: unlimited
};

struct ReplyStyle {
    int segments = 1;
    std::chrono::milliseconds gap{0};
    bool coalesce = false;
};

// A regular expression (RE2: time linear in the line, whatever the pattern) or a substring.
bool lineMatches(const std::string& line, const std::string& pattern, const re2::RE2* regex);
// Throws std::invalid_argument for a bad regular expression; nullptr for a substring.
std::shared_ptr<const re2::RE2> compilePattern(const std::string& pattern, MatchMode mode);
// Each "\n"-separated line of a rule's reply gets CR LF.
std::string wireLines(const std::string& reply);
// Throws std::invalid_argument for a negative times (empty: unlimited) or a bad expression.
Rule makeRule(const std::string& pattern, MatchMode mode, RuleAction action,
              std::optional<int> times);

// Rules live at once: each costs memory (a compiled pattern) and time on every command line.
inline constexpr std::size_t kMaxRules = 1000;

class RuleBook {
  public:
    // A rule with no times left (times=0) is spent at once and not kept. Throws
    // std::length_error when kMaxRules live rules are kept already.
    void add(Rule rule);
    // The first rule that matches, spending one of its times; a spent rule leaves the book.
    std::optional<Rule> take(const std::string& line);
    std::size_t size() const;
    ReplyStyle style() const;
    void setSplit(int segments, std::chrono::milliseconds gap);
    void setCoalesce(bool on);
    void clear();

  private:
    mutable std::mutex mutex_;
    std::vector<Rule> rules_;
    ReplyStyle style_;
};

}  // namespace epson::sim::detail
