// epson-bench-responder: the smallest Remote Ethernet peer, so that a round trip measures the
// client and not the controller. It binds 127.0.0.1 on an ephemeral port, prints "PORT <n>",
// answers every command line at once and exits when its standard input closes (or after
// --lifetime seconds, 900 by default).
//
//   $Login,...               -> #Login,0
//   $Execute,"Print Power"   -> #Execute,"1"
//   $Execute,"Go ..."        -> nothing until $Abort: a motion that runs until it is aborted
//   $Abort                   -> #Abort,0 at once; the held motion's !Execute,20 follows 5 ms
//                               later, as a controller answers the motion once the arm has
//                               stopped
//   $GetStatus               -> #GetStatus,<11 flags>,0000 at once, Running set while a Go is
//                               held and Ready otherwise
//   $Execute,"<other>"       -> #Execute,0
//   $<Name>[,...]            -> #<Name>,0
//
// When a Go arrives and when an $Abort arrives it prints "GO <ns>" and "ABORT <ns>", the
// monotonic clock's reading, which in the driver is time.perf_counter_ns(): the driver times a
// command to its arrival here.
// One thread serves every connection through epoll, with TCP_NODELAY: the alternatives that a
// benchmark compares then share one responder thread, and with it whatever the scheduler does
// to that thread on a busy machine.

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>

namespace {

void printArrival(const char* what) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    std::printf("%s %lld\n", what, static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
    std::fflush(stdout);
}

using Clock = std::chrono::steady_clock;
constexpr auto kStopTime = std::chrono::milliseconds(5);

struct Connection {
    std::string pending;
    bool moving = false;
    std::optional<Clock::time_point> abortedMotionReply;  // when the aborted motion is answered
};

std::string replyTo(std::string_view line, Connection& connection) {
    bool& moving = connection.moving;
    if (line == "$Execute,\"Print Power\"") {
        return "#Execute,\"1\"\r\n";
    }
    if (line.substr(0, 13) == "$Execute,\"Go ") {
        printArrival("GO");
        moving = true;
        return {};
    }
    if (line == "$Abort") {
        printArrival("ABORT");
        if (std::exchange(moving, false)) {
            connection.abortedMotionReply = Clock::now() + kStopTime;
        }
        return "#Abort,0\r\n";
    }
    if (line == "$GetStatus") {
        // Test, Teach, Auto, Warning, SError, Safeguard, EStop, Error, Paused, Running, Ready.
        return moving ? "#GetStatus,00100000010,0000\r\n" : "#GetStatus,00100000001,0000\r\n";
    }
    if (line.empty() || line.front() != '$') {
        return "!,10\r\n";
    }
    const auto comma = line.find(',');
    const std::string_view name =
        line.substr(1, comma == std::string_view::npos ? comma : comma - 1);
    std::string reply = "#";
    reply.append(name);
    reply += ",0\r\n";
    return reply;
}

bool sendAll(int fd, const std::string& out);

/// Answers every complete line that has arrived on @p fd; false when the connection is done.
bool serve(int fd, Connection& connection) {
    std::string& pending = connection.pending;
    char buffer[4096];
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) {
        return false;
    }
    pending.append(buffer, static_cast<std::size_t>(got));
    std::string out;
    std::size_t start = 0;
    for (std::size_t end; (end = pending.find("\r\n", start)) != std::string::npos;
         start = end + 2) {
        out += replyTo(std::string_view(pending).substr(start, end - start), connection);
    }
    pending.erase(0, start);
    // Everything that arrived together is answered with one send.
    return sendAll(fd, out);
}

bool sendAll(int fd, const std::string& out) {
    for (std::size_t sent = 0; sent < out.size();) {
        const ssize_t n = ::send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

void run(int listener) {
    const int poller = ::epoll_create1(0);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = listener;
    ::epoll_ctl(poller, EPOLL_CTL_ADD, listener, &event);
    std::unordered_map<int, Connection> connections;
    epoll_event ready[64];
    for (;;) {
        // Wake for the next aborted motion's answer, if one is due.
        int timeout = -1;
        for (auto& [fd, connection] : connections) {
            if (connection.abortedMotionReply) {
                const auto wait = std::chrono::ceil<std::chrono::milliseconds>(
                    *connection.abortedMotionReply - Clock::now());
                timeout =
                    std::max(0, timeout < 0 ? static_cast<int>(wait.count())
                                            : std::min(timeout, static_cast<int>(wait.count())));
            }
        }
        const int count = ::epoll_wait(poller, ready, 64, timeout);
        for (auto& [fd, connection] : connections) {
            if (connection.abortedMotionReply && *connection.abortedMotionReply <= Clock::now()) {
                connection.abortedMotionReply.reset();
                sendAll(fd, "!Execute,20\r\n");
            }
        }
        for (int i = 0; i < count; ++i) {
            const int fd = ready[i].data.fd;
            if (fd == listener) {
                const int client = ::accept(listener, nullptr, nullptr);
                if (client < 0) {
                    continue;
                }
                const int one = 1;
                ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                epoll_event added{};
                added.events = EPOLLIN;
                added.data.fd = client;
                ::epoll_ctl(poller, EPOLL_CTL_ADD, client, &added);
                connections[client] = Connection{};
            } else if (!serve(fd, connections[fd])) {
                ::epoll_ctl(poller, EPOLL_CTL_DEL, fd, nullptr);
                ::close(fd);
                connections.erase(fd);
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    unsigned lifetime = 900;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--lifetime") == 0) {
            lifetime = static_cast<unsigned>(std::atoi(argv[i + 1]));
        }
    }
    // A forgotten responder must not outlive the benchmark by much.
    ::alarm(lifetime);

    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener, 64) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("epson-bench-responder");
        return 1;
    }
    std::printf("PORT %u\n", static_cast<unsigned>(ntohs(address.sin_port)));
    std::fflush(stdout);

    std::thread(run, listener).detach();

    // The driver holds our standard input open for as long as it needs us.
    char sink[256];
    while (::read(STDIN_FILENO, sink, sizeof sink) > 0) {
    }
    std::_Exit(0);
}
