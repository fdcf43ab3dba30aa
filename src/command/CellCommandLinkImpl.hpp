#pragma once

// The command link's private state, in three layers:
//   - the line channel (line_channel.cpp): the socket, its deadlines and read buffer, writing
//     one command line and reading one reply line, and cutting a connection that cannot carry
//     another exchange. No other file touches the socket.
//   - the reply ledger (ReplyLedger.hpp): who owns each line read, which motions were called,
//     which motion statement may still run, which aborts were written and for what.
//   - the session and the commands (transport.cpp, session.cpp and the operation files): the
//     exchanges, connect and disconnect, and the operations.
//
// Locking rule. One name convention says what a function expects:
//   - a name ending in "_" runs with commandMutex_ held by its caller; it may read and write
//     the socket and every member below that is not atomic;
//   - a name ending in "Locked_" runs with writeMutex_ held by its caller;
//   - every other function takes what it needs itself.
// commandMutex_ (the command lock) guards the exchange on the wire and the session state:
// readBuffer_, ioContext_, lastCommand_, lastResponse_, motorsOn_, motorOnError_, the saved
// Tool state, host_ and port_. Only its holder reads the socket or closes it.
// writeMutex_ is held around every socket write and around the decisions that must keep their
// place in the write order (entering a command in the ledger; whether a motion statement or
// an abort goes out). The side path writes under it without the command lock.
// The ledger has its own lock, taken inside the others and never held while waiting on I/O.
// Order: commandMutex_, then writeMutex_, then the ledger's lock.
// connected_, loggedIn_ and motionInProgress_ are atomic and read without a lock.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/streambuf.hpp>

#include "ReplyLedger.hpp"
#include "epson/CellCommandLink.hpp"
#include "epson/console.hpp"

namespace epson {

/// Deadlines shared by every controller exchange.
inline constexpr std::chrono::milliseconds kCommandTimeout{5000};
inline constexpr std::chrono::milliseconds kMotionTimeout{300000};
inline constexpr std::chrono::seconds kConnectTimeout{20};
inline constexpr int kConnectAttempts = 3;
inline constexpr int kMaxConnectAttempts = 10;
inline constexpr std::chrono::seconds kRetryPause{2};
inline constexpr std::chrono::seconds kControlReplyTimeout{5};
inline constexpr std::chrono::milliseconds kStateLockTimeout{250};
/// How often a control command that waits for the command lock looks whether a motion has
/// started meanwhile, so that it can go beside that motion instead of waiting for its end.
inline constexpr std::chrono::microseconds kControlLockPoll{500};
/// Longest read a control command owed its reply after its motion ended makes at a time while
/// holding the command lock, so that other commands are held up by no more than this.
inline constexpr std::chrono::milliseconds kOwedReplySlice{20};
/// A reply that grows past this without a line end is treated as a broken connection.
inline constexpr std::size_t kMaxReplyBytes = 1048576;
inline constexpr int kTcpToolSlot = 15;
/// What a control command still owed its reply raises when connect() or disconnect() closes
/// the connection under it.
inline constexpr const char* kClosedUnderControlCommand =
    "Epson Remote Ethernet connection was closed while waiting for a control command's reply";
/// Longest argument text accepted into a command, and longest command line written. Far beyond
/// any real statement, they keep absurd arguments off the wire; the argument bound leaves room
/// for a statement built from several arguments.
inline constexpr std::size_t kMaxTextBytes = 16384;
inline constexpr std::size_t kMaxCommandBytes = 65536;

/// Refuses texts that cannot travel inside one command line: a NUL byte, which a controller
/// may take as the end of the text, and anything longer than @p limit.
/// @throw std::invalid_argument naming @p name.
void requireTransmittable(const std::string& text, const char* name,
                          std::size_t limit = kMaxTextBytes);

/// A motion's step: which motion call (0: none), and whether it is the statement itself.
struct MotionStep {
    std::uint64_t motion = 0;
    bool statement = false;
};

/// One Go or Move call with its modifiers, so that they are written once: the public
/// signatures fill it, motion.cpp validates it and builds its statement and settings.
struct MotionRequest {
    enum class Kind { Go, Move } kind = Kind::Go;
    std::string destination;
    bool cp = false;
    bool ljm = false;                     // Go
    std::optional<int> orientation_flag;  // Go
    bool rot = false;                     // Move
    bool ecp = false;                     // Move
    std::optional<std::string> search_expression;
    std::optional<std::string> parallel_processing;
    bool sync = false;
    std::optional<int> speed_percent;          // Go
    std::optional<int> acceleration_percent;   // Go
    std::optional<int> deceleration_percent;   // Go
    std::optional<double> speed_mm_s;          // Move
    std::optional<double> acceleration_mm_s2;  // Move
};

/// The outcome of writing one command line.
enum class LineWritten {
    Whole,    ///< every byte went out
    Nothing,  ///< the deadline passed before any byte went out: the command was not sent
};

class CellCommandLink::Impl {
  public:
    Impl();

    // Protocol: reply grammar.
    void parseResponse_(const std::string& response, const std::string& command);
    std::string executeAndGetResult_(const std::string& statement);
    static std::int64_t parseControllerStatusValue_(const std::string& text);

    // Transport.
    void connect(const std::string& host, std::uint16_t port, const std::string& password);
    void command_(const std::string& command, std::chrono::milliseconds timeout);
    void readUntilTerminator_(std::chrono::milliseconds timeout);

    // Session.
    void disconnect();
    void login_(const std::string& password);
    void logout_();

    // Status, power and motors (workers expect commandMutex_ held; the others take it).
    bool isEmergencyStopped_();
    ControllerStatus getControllerStatus();
    EpsonPowerMode getPowerMode_();
    void setPowerMode_(EpsonPowerMode mode);
    PtpMotionLimits getPtpMotionLimits();
    void motorOn_();
    void motorOff_();
    void resetController_();
    /// Sends a control command beside the running motion, or as an ordinary command when none
    /// runs, and returns its reply line.
    std::string sendMotionControlCommand_(const std::string& command);
    /// Stops the motions called before it: "$Abort" goes beside every motion statement that
    /// may still run, and the motions that have not sent theirs never do. With no motion at all
    /// "$Abort" goes as an ordinary command when the connection is free. Returns whether
    /// "$Abort" was written beside a motion statement that may still run.
    bool abortMotion();
    RemoteStatus getRemoteStatus();
    bool tillOn();

    // Tools.
    static void validateToolNumber_(int tool_num, bool allow_zero);
    void tlSet_(int tool_num, const std::string& tool_def_point);
    void tlClear_(int tool_num);
    void setTool_(int tool_num);
    int getTool_();
    bool isToolDefined_(int tool_num);
    std::vector<double> getToolDefinition_(int tool_num);

    // TCP offset.
    std::vector<double> getTcpOffset_();
    void setTcpOffset(const std::vector<double>& pose);
    void restoreTcpOffset_();
    static std::string formatToolPoint_(const std::vector<double>& values);

    // Robot state and inverse kinematics.
    std::vector<double> getState();
    std::vector<double> inverseKinematics(
        const std::vector<double>& cartesian_pose, bool least_joint_motion,
        const std::optional<std::vector<double>>& reference_joint_positions);

    // Motion: go and move fill one request and run it.
    void go(const std::string& destination, bool cp, bool ljm,
            const std::optional<int>& orientation_flag,
            const std::optional<std::string>& search_expression,
            const std::optional<std::string>& parallel_processing, bool sync,
            const std::optional<int>& speed_percent, const std::optional<int>& acceleration_percent,
            const std::optional<int>& deceleration_percent);
    void move(const std::string& destination, bool rot, bool ecp, bool cp,
              const std::optional<std::string>& search_expression,
              const std::optional<std::string>& parallel_processing, bool sync,
              const std::optional<double>& speed_mm_s,
              const std::optional<double>& acceleration_mm_s2);
    /// Runs one Go or Move request: takes the command lock, validates, sends.
    void runMotion(const MotionRequest& request);

    // Workspace.
    void addSafetyCuboid(const std::vector<double>& min_corner_mm,
                         const std::vector<double>& max_corner_mm);

    // --- State (declaration order is part of the design: ioContext_ outlives socket_) ---
    boost::asio::io_context ioContext_;
    boost::asio::ip::tcp::socket socket_{ioContext_};
    boost::asio::streambuf readBuffer_{kMaxReplyBytes};
    std::string host_;
    std::uint16_t port_ = 0;
    std::atomic<int> connectAttempts_{kConnectAttempts};
    const std::string terminator_ = "\r\n";
    std::string lastCommand_;
    std::string lastResponse_;
    std::string motorOnError_;
    bool motorsOn_ = false;
    bool tcpOverrideActive_ = false;
    std::optional<int> savedToolNumber_;
    std::optional<std::vector<double>> savedToolDefinition_;
    std::atomic<bool> connected_{false};
    std::atomic<bool> loggedIn_{false};
    std::atomic<bool> motionInProgress_{false};
    /// Held around each socket write, and around the decisions that must keep their place in
    /// the write order: entering a command in the ledger, and whether a motion or an abort
    /// goes out.
    std::mutex writeMutex_;
    /// Who owns each reply line of the connection, and the motions' book (ReplyLedger.hpp).
    ReplyLedger ledger_;
    std::timed_mutex commandMutex_;

  private:
    using Clock = std::chrono::steady_clock;

    // --- Line channel (line_channel.cpp): the only code that touches the socket ---

    void connectStep_(const boost::asio::ip::tcp::resolver::results_type& endpoints,
                      const std::string& host, std::uint16_t port);
    /// Reads one reply line (joining odd-quote continuation lines) from readBuffer_ by
    /// @p deadline; @p timeout is what the time-out message names.
    std::string readReplyLine_(Clock::time_point deadline, std::chrono::milliseconds timeout);
    /// Waits until readBuffer_ holds a whole line, or with @p wholeReply a whole reply (its
    /// continuation lines too). False when @p deadline passes first; the connection and any
    /// partial line are kept then.
    /// @throw ConnectionLostError after a read error or an endless line (the link is given up).
    bool waitForLine_(Clock::time_point deadline, bool wholeReply = false);
    /// Gives the connection up: closes the socket, clears the state bound to it, fails the
    /// side-path commands still waiting with the same error, and throws.
    [[noreturn]] void giveUpConnection_(const std::string& message);
    /// Closes the socket under writeMutex_, after shutting it down so that a write blocked by a
    /// peer that stopped reading lets go of the lock at once.
    void closeSocket_() noexcept;
    /// Whether the socket is open (a connection given up by a side-path write may still be).
    bool channelOpen_() const noexcept;
    /// The orderly close of disconnect(): shuts both directions down, ignoring errors, and
    /// closes the socket; returns the close's error.
    boost::system::error_code closeChannel_() noexcept;
    /// Writes @p command and the terminator by @p deadline. The one handling of a command that
    /// cannot be written whole: a write error, or a line cut by the deadline, cuts the
    /// connection (cutConnectionLocked_) and throws, since the next command would run into the
    /// rest of it.
    /// @throw ConnectionLostError when the line could not be written whole.
    LineWritten writeLineLocked_(const std::string& command, Clock::time_point deadline);
    /// Ends a connection that cannot carry another exchange, without the command lock: shuts
    /// the socket down so that its reader gives it up, clears the connection flags and fails
    /// what waits on the ledger. The holder of the command lock closes the socket.
    void cutConnectionLocked_(const std::string& message) noexcept;

    // --- Exchanges (transport.cpp) ---

    /// Writes one command, entered in the ledger in write order, and reads until its own reply
    /// by one overall deadline; returns that reply.
    std::string exchange_(const std::string& command, std::chrono::milliseconds timeout,
                          MotionStep step = {});
    /// command_ that returns the reply instead of leaving it only in lastResponse_.
    std::string commandReply_(const std::string& command, std::chrono::milliseconds timeout,
                              MotionStep step = {});
    /// Before a command whose reply could not be told from one owed to a caller that gave up,
    /// makes the stream unambiguous: a "$GetStatus" whose reply proves the older ones settled,
    /// or, for names that cannot be proven so, reading until they are.
    void settleCollision_(const std::string& command, Clock::time_point deadline,
                          std::chrono::milliseconds timeout);
    /// The error for @p line, which answers nothing owed (or is blank), met while reading for
    /// @p command after it was written: its outcome is unknown.
    [[noreturn]] static void rejectForeignLine(const std::string& line, const std::string& command);

    // --- The side path (status.cpp): control commands without the command lock ---

    /// Writes @p command beside the running motion and waits for its reply until @p deadline.
    /// Empty when no motion's reader is there to hand it across.
    std::optional<std::string> sendBesideMotion(const std::string& command,
                                                Clock::time_point deadline);
    /// Settles a collision of @p command with a side-path entry given up earlier: a
    /// "$GetStatus" beside first, whose reply proves the older one settled. False when no
    /// motion's reader is there for it and @p anyReader is not set.
    bool settleBeside(const std::string& command, Clock::time_point deadline, bool anyReader);
    /// Writes side-path command @p ticket, entered in the ledger under the same write lock.
    /// @throw std::runtime_error when not a byte went out by @p deadline (nothing was sent).
    /// @throw ConnectionLostError or NotConnectedError; the entry is withdrawn either way.
    void writeSideLocked_(ReplyLedger::Ticket ticket, const std::string& command,
                          Clock::time_point deadline);
    /// Waits for the reply of side-path command @p ticket until @p deadline.
    std::string awaitBesideReply(ReplyLedger::Ticket ticket, const std::string& command,
                                 Clock::time_point deadline);
    /// One read for side-path command @p ticket when no motion's reader is there, until
    /// @p until at most, if the command lock is free. Returns a line that answers nothing owed,
    /// which fails that command. Never throws otherwise.
    std::optional<std::string> readOwedReply(ReplyLedger::Ticket ticket,
                                             Clock::time_point until) noexcept;

    // --- Motions (motion.cpp) ---

    /// Sends one command of motion @p step.motion, unless an abort has stopped it first.
    void sendMotionStep_(const std::string& command, std::chrono::milliseconds timeout,
                         MotionStep step);
    void forgetSavedToolState_();
    /// Sets motionInProgress_ for a motion and ends it on every exit path.
    class MotionScope;
};

/// "#" followed by the command name: the text after "$" up to the first comma.
/// @throw std::out_of_range for an empty command.
std::string expectedEcho(const std::string& command);
/// The command as it may appear in messages: a login's password is never shown.
std::string displayedCommand(const std::string& command);
/// Throws @p message as an error of the same kind as @p error (a controller refusal keeps its
/// reply and command), or as std::runtime_error for any other kind.
[[noreturn]] void rethrowWithContext(const std::exception& error, const std::string& message);

}  // namespace epson
