#pragma once

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

#include "epson/CellCommandLink.hpp"
#include "epson/console.hpp"

namespace epson {

/// Deadlines shared by every controller exchange.
inline constexpr std::chrono::milliseconds kCommandTimeout{5000};
inline constexpr std::chrono::milliseconds kMotionTimeout{300000};
inline constexpr std::chrono::seconds kConnectTimeout{20};
inline constexpr int kConnectAttempts = 3;
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
    void sendMotionControlCommand_(const std::string& command);
    /// Counts the request, so that a motion waiting for the connection never starts after it,
    /// and sends "$Abort" like any control command.
    void abortMotion();

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

    // Motion.
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

    // Workspace.
    void addSafetyCuboid(const std::vector<double>& min_corner_mm,
                         const std::vector<double>& max_corner_mm);

    // --- State (declaration order is part of the design: ioContext_ outlives socket_) ---
    boost::asio::io_context ioContext_;
    boost::asio::ip::tcp::socket socket_{ioContext_};
    boost::asio::streambuf readBuffer_{kMaxReplyBytes};
    std::string host_;
    std::uint16_t port_ = 0;
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
    std::mutex writeMutex_;
    std::mutex pendingMutex_;
    std::condition_variable pendingCondition_;
    std::string pendingPrefix_;
    std::string pendingResponse_;
    /// When the pending control command stops waiting. Guarded by pendingMutex_.
    std::chrono::steady_clock::time_point pendingDeadline_{};
    /// Set instead of a reply when the connection is given up under the pending command: it
    /// fails at once with the link's own error, this message as ConnectionLostError. A message
    /// and not the exception itself, so that no two threads share one exception object.
    /// Guarded by pendingMutex_.
    std::optional<std::string> pendingFailure_;
    /// Echo prefixes of control commands that gave up waiting, oldest first. Their replies may
    /// still come on this connection: every reply loop drops one matching line per entry, until
    /// the connection is given up or replaced. Guarded by pendingMutex_.
    std::vector<std::string> lateControlPrefixes_;
    /// Size of lateControlPrefixes_, so that a reply loop skips pendingMutex_ when it is zero.
    std::atomic<std::size_t> lateReplyCount_{0};
    /// abortMotion() calls so far; a motion compares it with its value at the motion's call.
    std::atomic<std::uint64_t> abortRequests_{0};
    std::timed_mutex commandMutex_;

  private:
    using Clock = std::chrono::steady_clock;

    void connectStep_(const boost::asio::ip::tcp::resolver::results_type& endpoints,
                      const std::string& host, std::uint16_t port);
    /// Reads one reply line (joining odd-quote continuation lines) from readBuffer_.
    std::string readReplyLine_(std::chrono::milliseconds timeout);
    /// Waits until readBuffer_ holds a whole line. False when @p deadline passes first; the
    /// connection and any partial line are kept then.
    /// @throw ConnectionLostError after a read error or an endless line (the link is given up).
    bool waitForLine_(Clock::time_point deadline);
    /// Gives the connection up: closes the socket, clears the state bound to it, fails the
    /// pending control command with the same error, forgets late replies, and throws.
    [[noreturn]] void giveUpConnection_(const std::string& message);
    /// Closes the socket under writeMutex_, so that no side-path write can be inside it.
    void closeSocket_() noexcept;
    /// Drops @p line when it is the reply owed to the oldest control command that gave up
    /// waiting for one of its kind. Returns whether it was dropped.
    bool dropLateReply_(const std::string& line);
    /// Gives a line that is not the reply to @p ownEcho's command to the pending control
    /// command. Returns whether it was taken.
    bool handOverToControlCommand_(std::string& line, const std::string& ownEcho);
    /// The side path: writes @p command beside the running motion and waits for the reply that
    /// the motion's reader hands across, or, once the motion has ended, that it reads itself.
    /// Expects @p pending to hold pendingMutex_.
    void sendBesideMotion_(const std::string& command, std::unique_lock<std::mutex>& pending);
    /// One read for the pending control command's reply, until @p deadline at most, if the
    /// command lock is free. Never throws.
    void readOwedReply_(Clock::time_point deadline) noexcept;
    /// Fails the pending control command with @p failure and forgets late replies: nothing
    /// owed on a connection that is closed can be answered any more.
    void abandonOwedReplies_(const std::string& failure);
    /// Sends one command of a motion, unless abortMotion() was called since the motion's call.
    void sendMotionStep_(const std::string& command, std::chrono::milliseconds timeout,
                         std::uint64_t abortsBefore);
    void forgetSavedToolState_();
    void writeLine_(const std::string& command);
    /// Ends a motion: clears motionInProgress_ and wakes a control command still owed its
    /// reply, which reads for itself from then on.
    void finishMotion_() noexcept;
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
/// Whether @p line is a reply to the control command whose echo is @p echo: "#Pause..." for
/// "#Pause", and the error forms "!Pause" and "!Pause,<code>".
bool answersControlCommand(const std::string& line, const std::string& echo);
/// Writes one line through the console route: to standard output for Info, standard error
/// otherwise, flushed as a single write.
void writeConsoleLine(ConsoleLevel level, const std::string& line);

}  // namespace epson
