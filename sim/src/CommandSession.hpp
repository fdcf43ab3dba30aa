#pragma once

// One Remote Ethernet connection: CR LF line framing on input, and on output the reply queue
// with delays, splitting into segments, coalescing, and the login and idle time-outs. What a
// line means is the host's business.
//
// Bounds: a line is at most kMaxLineLength bytes (a longer one closes the connection). While
// more than kPauseBacklog reply bytes wait (queued or delayed), the session reads no further
// input, so a client that pipelines and reads is slowed, never dropped; it reads again once they
// drain. Only a client whose unread replies pass SessionLimits::maxBacklog anyway (a delayed or
// oversize reply it never reads) is dropped.
//
// Time-outs hold in every state of the connection. The login time-out runs until a login,
// whatever else happens. Idle means neither sending nor waiting for a reply the simulator owes
// (its motion's, a delayed one, one queued or being written): a client waiting for its own
// $Execute is never idle. A reply that cannot be written within the write deadline (a client
// that does not read) drops the client, with a reset.

// <utility> first: Boost 1.74's awaitable.hpp uses std::exchange without including it.
#include <utility>

#include <boost/asio.hpp>

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ReplyRules.hpp"

namespace epson::sim::detail {

class CommandSession;

class SessionHost {
  public:
    virtual void handleLine(const std::shared_ptr<CommandSession>& session,
                            const std::string& line) = 0;
    virtual void sessionClosed(const CommandSession* session) = 0;
    virtual ReplyStyle replyStyle() const = 0;

  protected:
    ~SessionHost() = default;
};

inline constexpr std::size_t kMaxLineLength = 64 * 1024;
inline constexpr std::size_t kPauseBacklog = 64 * 1024;

struct SessionLimits {
    std::size_t maxBacklog = 1 << 20;           // unsent reply bytes before the client is dropped
    std::chrono::milliseconds loginTimeout{0};  // 0: none
    std::chrono::milliseconds idleTimeout{0};   // 0: none
    std::chrono::milliseconds writeTimeout{0};  // 0: none
};

class CommandSession : public std::enable_shared_from_this<CommandSession> {
  public:
    CommandSession(SessionHost& host, boost::asio::ip::tcp::socket socket, SessionLimits limits);

    void start();
    bool isOpen() const { return socket_.is_open(); }
    // The peer has closed (or reset) its end, though its FIN may not have been read yet.
    bool peerGone();
    // abortive: a reset (RST) instead of an orderly close.
    void close(bool abortive = false);
    // Bytes to write, after the delay if there is one (a delayed reply may pass later ones).
    void send(std::string bytes, std::chrono::milliseconds delay);
    // Runs f after the delay (at once for 0), unless the session closes first.
    void after(std::chrono::milliseconds delay, std::function<void()> f);
    // The host calls this when loggedIn changed: logging out starts the login time-out again.
    void loginChanged();
    // Reply bytes queued, delayed or being written.
    std::size_t backlog() const { return backlog_; }
    // The host says whether this client waits for its own motion's reply.
    void awaitMotion(bool waiting);

    bool loggedIn = false;

  private:
    void read();
    void onRead(const boost::system::error_code& error);
    // Handles the complete lines received, unless replies are piling up; then reads more.
    void handleInput();
    void armLoginTimer();
    void enqueue(std::string bytes);
    void writeNext();
    void writeChunk();
    void armIdleTimer();
    // A reply is owed: the client is not idle, whatever it sends.
    bool owesReply() const;

    SessionHost& host_;
    boost::asio::ip::tcp::socket socket_;
    SessionLimits limits_;
    boost::asio::streambuf input_;
    std::deque<std::string> output_;
    std::size_t backlog_ = 0;  // bytes queued or being written
    bool writing_ = false;
    bool flushPosted_ = false;
    bool inputPaused_ = false;
    bool awaitingMotion_ = false;
    std::vector<std::string> chunks_;
    std::size_t chunk_ = 0;
    std::size_t writingBytes_ = 0;
    std::chrono::milliseconds gap_{0};
    boost::asio::steady_timer gapTimer_;
    boost::asio::steady_timer loginTimer_;
    boost::asio::steady_timer idleTimer_;
    boost::asio::steady_timer writeTimer_;
    std::vector<std::shared_ptr<boost::asio::steady_timer>> delayTimers_;
};

}  // namespace epson::sim::detail
