#pragma once

// A fake Remote Ethernet controller for randomized fault runs. It answers a connector's logins,
// motions ("Go P<id>", "Move P<id>"), inverse-kinematics queries ("Print PAgl(XY(<x>,...),<j>)",
// answered with x + j), control commands ($Pause, $Continue, $Abort) and $GetStatus as a
// controller would, but a seeded generator makes it delay replies (some beyond the connector's
// deadlines), withhold some, answer some with a line of no known form ("#Bogus,<code>"), split
// and coalesce them, stop reading for a while, drop the connection in the middle of a reply,
// reset it between exchanges or right after a command, and put blank lines and error lines
// naming commands nobody sent ("!Status,<code>") in front of replies. It switches the motors on
// and off ("Motor On", "Motor Off"); a new connection finds them off. Error replies
// carry codes that are never reused, so that a test can trace every error a call raised to the
// one reply it came from. Replies keep the order of their commands, as a controller's do, except
// a running motion's. Everything received and sent is recorded with the time and the command it
// belongs to.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace epson::test {

struct WireEvent {
    enum class Kind {
        Received,  // a command line
        Sent,      // a whole reply line
        Dropped,   // a reply cut off by closing the connection in its middle
        Closed,    // the connection ended: line "by controller", "by client" or "replaced"
        Late,      // a reply awaited with no motion running, delayed past the deadline or withheld
    };
    Kind kind;
    int connection;
    std::chrono::steady_clock::time_point time;
    std::string line;  // without CR LF
    /// What it belongs to: "M<id>" a motion, "Q<id>/<joint>" a query, "C<n>" the n-th control
    /// command line, "L" a login or logout, "P<n>" the n-th Motor On or Off, "stray" a blank or
    /// error line that answers nothing.
    std::string tag;
};

class FaultyController {
  public:
    using Clock = std::chrono::steady_clock;

    explicit FaultyController(std::uint64_t seed);
    /// Stops the controller's thread and closes every socket.
    ~FaultyController();
    FaultyController(const FaultyController&) = delete;
    FaultyController& operator=(const FaultyController&) = delete;

    std::uint16_t port() const { return port_; }
    void start();
    void stop();

    std::vector<WireEvent> events() const;
    /// Commands a connector must never send (a query while a motion runs, an unknown command).
    std::vector<std::string> violations() const;
    /// When the running motion's reply is due; empty when no motion runs.
    std::optional<Clock::time_point> motionEnd() const;
    /// How often each fault was played, by name.
    std::map<std::string, int> faultCounts() const;
    /// The motion each "$Abort" reached, by the abort's tag ("C<n>" to "M<id>").
    std::map<std::string, std::string> abortsReceived() const;
    /// From now on, no more faults: every reply comes whole, in time and alone.
    void calm() { calm_ = true; }
    /// Whether the motors were on when the last connection ended.
    bool motorsOnAtLastClose() const;

  private:
    struct Reply {
        Clock::time_point due;
        std::uint64_t order;  // ties keep the order of scheduling
        std::string line;
        std::string tag;
        int pieces = 1;         // written in this many segments
        bool drop = false;      // half written, then the connection is closed
        bool coalesce = false;  // held a little, then written together with what is due by then
        bool motion = false;
        bool awaited = false;  // sent with no motion running: its reader waits at most 5 s
    };

    void run();
    void acceptClient();
    void closeClient(bool reset, const char* by);
    void readClient();
    void handle(const std::string& line);
    void schedule(Reply reply);
    void flushDue();
    bool writeAll(const std::string& bytes);
    void record(WireEvent::Kind kind, const std::string& line, const std::string& tag);
    void count(const std::string& fault);
    void violation(const std::string& what);
    /// A fault plan for one reply: delay, withholding, splitting, coalescing, dropping.
    bool plan(Reply& reply, double slowShare, double withheldShare, double dropShare);
    double uniform(double low, double high);
    bool chance(double share);

    int listenFd_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> calm_{false};
    std::mt19937_64 random_;

    // The controller thread's own state.
    int clientFd_ = -1;
    int connection_ = 0;
    std::string input_;
    std::vector<Reply> replies_;
    std::uint64_t order_ = 0;
    Clock::time_point lastReplyDue_{};
    int nextCode_ = 1000;
    int controlLines_ = 0;
    int motions_ = 0;
    int controlsBesideMotions_ = 0;
    Clock::time_point readingStopsUntil_{};
    bool motorsOn_ = false;
    int powerCommands_ = 0;
    Clock::time_point nextIdleReset_{};

    mutable std::mutex mutex_;
    std::vector<WireEvent> events_;
    std::vector<std::string> violations_;
    std::map<std::string, int> faults_;
    std::optional<Clock::time_point> motionEnd_;
    std::map<std::string, std::string> aborts_;
    bool motorsOnAtLastClose_ = false;
};

}  // namespace epson::test
