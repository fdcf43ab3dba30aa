// The main of every C++ test binary: GoogleTest's, plus a watchdog. A test that runs past
// EPSON_TEST_WATCHDOG_SECONDS is named, every thread's stack is printed, and the process ends,
// so a hang says which test and which line it waits on instead of idling until CTest kills it.
#include <gtest/gtest.h>

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

struct Watch {
    std::mutex mutex;
    std::condition_variable wake;
    std::string test;
    Clock::time_point started;
    bool running = false;
    bool finished = false;
};

class Tracker : public testing::EmptyTestEventListener {
  public:
    explicit Tracker(Watch& watch) : watch_(watch) {}

    void OnTestStart(const testing::TestInfo& info) override {
        std::lock_guard lock(watch_.mutex);
        watch_.test = std::string(info.test_suite_name()) + "." + info.name();
        watch_.started = Clock::now();
        watch_.running = true;
    }

    void OnTestEnd(const testing::TestInfo&) override {
        std::lock_guard lock(watch_.mutex);
        watch_.running = false;
    }

  private:
    Watch& watch_;
};

// glibc's backtrace() sees only the calling thread; gdb walks every thread, with file and line.
void printEveryStack() {
    std::fflush(nullptr);
    ::prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
    const std::string pid = std::to_string(::getpid());
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(STDERR_FILENO, STDOUT_FILENO);
        ::execlp("gdb", "gdb", "-batch", "-nx", "-p", pid.c_str(), "-ex", "thread apply all bt",
                 static_cast<char*>(nullptr));
        ::_exit(127);
    }
    if (child < 0) {
        std::perror("watchdog: fork");
        return;
    }
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    int status = 0;
    while (::waitpid(child, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            std::fputs("watchdog: gdb did not finish within 60 s\n", stderr);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 127) {
        std::fputs("watchdog: gdb is not installed, so no stacks can be printed\n", stderr);
    }
}

void watch(Watch& state, std::chrono::seconds limit) {
    std::unique_lock lock(state.mutex);
    while (!state.finished) {
        state.wake.wait_for(lock, std::chrono::milliseconds(200));
        if (state.running && Clock::now() - state.started > limit) {
            std::fprintf(stderr,
                         "\nwatchdog: %s still runs after %lld s; the stacks of every thread:\n",
                         state.test.c_str(), static_cast<long long>(limit.count()));
            printEveryStack();
            std::fprintf(stderr, "watchdog: ended %s at its time limit\n", state.test.c_str());
            std::fflush(nullptr);
            std::_Exit(124);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    Watch state;
    testing::UnitTest::GetInstance()->listeners().Append(new Tracker(state));

    long seconds = 0;
    if (const char* text = std::getenv("EPSON_TEST_WATCHDOG_SECONDS")) {
        seconds = std::strtol(text, nullptr, 10);
    }
    std::thread watchdog;
    if (seconds > 0) {
        watchdog = std::thread(watch, std::ref(state), std::chrono::seconds(seconds));
    }
    const int result = RUN_ALL_TESTS();
    if (watchdog.joinable()) {
        {
            std::lock_guard lock(state.mutex);
            state.finished = true;
        }
        state.wake.notify_all();
        watchdog.join();
    }
    return result;
}
