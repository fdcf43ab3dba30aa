#pragma once

// A scripted command-connection peer for wire-level tests. It listens on 127.0.0.1 (port 0),
// accepts, and plays its steps in order: it states the exact bytes it expects and what it
// answers. A step that does not happen, bytes that differ, or bytes that arrive when none are
// expected fail the test that owns the peer.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace epson::test {

using namespace std::chrono_literals;

/// @p line followed by CR LF.
std::string crlf(std::string_view line);
/// Printable form of bytes for failure messages (\r, \n and control bytes escaped).
std::string escaped(std::string_view bytes);

class ScriptedPeer {
  public:
    ScriptedPeer();
    /// Stops the script (as finish()) and reports every failure and every unused step.
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    std::uint16_t port() const { return port_; }

    // --- Script steps, played in order once start() is called. The first connection is
    // accepted before the first step. -------------------------------------------------------

    /// Exactly these bytes next, however the client segments them.
    ScriptedPeer& expect(std::string bytes, std::chrono::milliseconds timeout = 10s);
    /// Exactly @p line and CR LF next.
    ScriptedPeer& expectLine(std::string_view line, std::chrono::milliseconds timeout = 10s);
    /// Writes @p bytes in one segment.
    ScriptedPeer& send(std::string bytes);
    /// Writes @p line and CR LF in one segment.
    ScriptedPeer& sendLine(std::string_view line);
    /// Writes each piece as its own TCP segment, @p gap apart.
    ScriptedPeer& sendSegments(std::vector<std::string> pieces,
                               std::chrono::milliseconds gap = 30ms);
    /// expectLine(command) then sendLine(reply): one command exchange.
    ScriptedPeer& exchange(std::string_view command, std::string_view reply);
    /// Waits; bytes arriving meanwhile are kept for the next expect.
    ScriptedPeer& wait(std::chrono::milliseconds duration);
    /// Fails if any byte arrives during @p duration.
    ScriptedPeer& expectSilence(std::chrono::milliseconds duration);
    /// Blocks the script until the test calls openGate(@p name) (at most @p timeout).
    ScriptedPeer& gate(std::string name, std::chrono::milliseconds timeout = 10s);
    /// Records that the script got here; the test can waitForMark(@p name).
    ScriptedPeer& mark(std::string name);
    /// Closes the connection from the peer's side.
    ScriptedPeer& close();
    /// Waits until the client closes; any byte before that fails the test.
    ScriptedPeer& expectClosed(std::chrono::milliseconds timeout = 10s);
    /// Closes the current connection (if any) and accepts the next one.
    ScriptedPeer& acceptNext(std::chrono::milliseconds timeout = 10s);

    // --- Control from the test -------------------------------------------------------------

    void start();
    /// Stops the script within @p timeout and joins the peer's thread. Returns whether every
    /// step ran without failure. Safe to call more than once.
    bool finish(std::chrono::milliseconds timeout = 15s);
    void openGate(const std::string& name);
    bool waitForMark(const std::string& name, std::chrono::milliseconds timeout = 10s);
    /// Whether every step has run (the script may still hold the connection open).
    bool waitForScriptEnd(std::chrono::milliseconds timeout = 10s);
    /// Every byte received, over all connections.
    std::string received() const;
    /// Whether @p text has been received (over all connections) within @p timeout.
    bool waitForReceived(std::string_view text, std::chrono::milliseconds timeout = 10s) const;
    /// Number of connections accepted so far.
    int acceptedConnections() const;
    std::vector<std::string> failures() const;

  private:
    struct Step {
        std::string description;
        std::function<bool(ScriptedPeer&)> run;  // false: the script stops (failure recorded)
    };

    ScriptedPeer& add(std::string description, std::function<bool(ScriptedPeer&)> run);
    void runScript();
    bool acceptClient(std::chrono::milliseconds timeout);
    void closeClient();
    /// Reads what is available within @p timeout into pending_. False on EOF or error.
    bool readSome(std::chrono::milliseconds timeout);
    bool writeAll(std::string_view bytes);
    void fail(const std::string& message);
    bool stopping() const { return stop_.load(); }

    int listenFd_ = -1;
    int clientFd_ = -1;
    std::uint16_t port_ = 0;
    std::vector<Step> steps_;
    std::size_t stepsRun_ = 0;
    bool clientClosed_ = false;
    std::string pending_;  // received, not yet matched by an expect

    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> scriptDone_{false};
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::string received_;
    std::vector<std::string> failures_;
    std::set<std::string> openGates_;
    std::set<std::string> marks_;
    int accepted_ = 0;
};

/// A local port on which connections are refused: bound for the object's lifetime, never
/// listening, so no other process can take it meanwhile.
class RefusingPort {
  public:
    RefusingPort();
    ~RefusingPort();
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    std::uint16_t port() const { return port_; }

  private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

}  // namespace epson::test
