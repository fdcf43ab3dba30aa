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

#include "ReplyLedger.hpp"
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

/// A motion's step: which motion call (0: none), and whether it is the statement itself.
struct MotionStep {
    std::uint64_t motion = 0;
    bool statement = false;
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
    /// Stops the motions called before it: one whose statement is out gets "$Abort" beside it,
    /// the others never send it. With no motion at all "$Abort" goes as an ordinary command.
    void abortMotion();
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
    /// Held around each socket write, and around the decisions that must keep their place in
    /// the write order: entering a command in the ledger, and whether a motion or an abort
    /// goes out.
    std::mutex writeMutex_;
    /// Who owns each reply line of the connection (ReplyLedger.hpp).
    ReplyLedger ledger_;
    /// The motions' place with respect to aborts; guarded by motionMutex_, which is never held
    /// while waiting. Motions are numbered when called, so that an abort stops exactly the
    /// motions called before it.
    std::mutex motionMutex_;
    std::uint64_t lastMotionCall_ = 0;
    std::uint64_t abortedThrough_ = 0;  ///< motions up to this one never send their statement
    std::uint64_t runningMotion_ = 0;   ///< the motion whose statement is out; 0 when none
    std::uint64_t abortSentFor_ = 0;    ///< the motion an "$Abort" was written beside
    int activeMotions_ = 0;             ///< motion calls not yet ended
    std::timed_mutex commandMutex_;

  private:
    using Clock = std::chrono::steady_clock;

    void connectStep_(const boost::asio::ip::tcp::resolver::results_type& endpoints,
                      const std::string& host, std::uint16_t port);
    /// Writes one command, entered in the ledger in write order, and reads until its own reply.
    void exchange_(const std::string& command, std::chrono::milliseconds timeout,
                   MotionStep step = {});
    /// Before a command whose reply could not be told from one owed to a caller that gave up,
    /// makes the stream unambiguous: a "$GetStatus" whose reply proves the older ones settled,
    /// or, for names that cannot be proven so, reading until they are.
    void settleCollision_(const std::string& command, std::chrono::milliseconds timeout);
    /// Reads one reply line (joining odd-quote continuation lines) from readBuffer_.
    std::string readReplyLine_(std::chrono::milliseconds timeout);
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
    /// Writes @p command and the terminator by @p deadline; writeMutex_ must be held. Returns
    /// how many bytes went out, the whole line unless the deadline passed first.
    /// @throw boost::system::system_error ("write") when the socket fails or is closed.
    std::size_t writeLocked_(const std::string& command, Clock::time_point deadline);
    /// The error for @p line, which answers nothing owed, met while reading for @p command.
    [[noreturn]] void rejectForeignLine_(const std::string& line, const std::string& command);
    /// The side path, when a motion's reader is there to hand its reply across: writes
    /// @p command and waits for the reply until @p deadline. Empty when no motion runs.
    std::optional<std::string> trySendBesideMotion_(const std::string& command,
                                                    Clock::time_point deadline);
    /// Writes a side-path command entered as @p ticket and waits for its reply.
    std::string completeBesideMotion_(ReplyLedger::Ticket ticket, const std::string& command,
                                      Clock::time_point deadline);
    /// One read for side-path command @p ticket once its motion has ended, until @p until at
    /// most, if the command lock is free. Returns a line that answers nothing owed, which fails
    /// that command. Never throws otherwise.
    std::optional<std::string> readOwedReply_(ReplyLedger::Ticket ticket,
                                              Clock::time_point until) noexcept;
    /// Sends one command of motion @p motion, unless an abort has stopped it first.
    void sendMotionStep_(const std::string& command, std::chrono::milliseconds timeout,
                         MotionStep step);
    /// Numbers a motion call, before it waits for the connection.
    std::uint64_t registerMotion_();
    void forgetSavedToolState_();
    /// Ends a motion: clears motionInProgress_ and wakes a side-path command still owed its
    /// reply, which reads for itself from then on. Sets @p ended (the motion's scope) as it
    /// stops counting the motion as active.
    void finishMotion_(bool& ended) noexcept;
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
