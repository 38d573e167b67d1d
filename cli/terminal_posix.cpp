#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "terminal.h"

namespace kestrup::cli {
namespace {

volatile std::sig_atomic_t stopSignal = 0;

extern "C" void onStopSignal(int) {
    stopSignal = 1;
}

// The signals that end the terminal the orderly way, with the keyboard given back as it was. In
// raw mode the keyboard sends none of them: Ctrl+C and Ctrl+\ are keys for the board then.
constexpr int stopSignals[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT};

class PosixUserSide final : public UserSide {
public:
    PosixUserSide() : keyboard_(isatty(STDIN_FILENO) == 1) {
        struct sigaction action {};
        action.sa_handler = onStopSignal;
        sigemptyset(&action.sa_mask);
        // No SA_RESTART: the wait for input returns to look at the flag.
        for (std::size_t i = 0; i < std::size(stopSignals); ++i) sigaction(stopSignals[i], &action, &savedActions_[i]);
        // A write to a closed pipe is an error to report, not a signal that ends the program at once.
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGPIPE, &ignore, &savedPipeAction_);
    }

    ~PosixUserSide() override {
        // Keys typed after the exit key are dropped rather than left to the shell.
        if (raw_) tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal_);
        for (std::size_t i = 0; i < std::size(stopSignals); ++i) sigaction(stopSignals[i], &savedActions_[i], nullptr);
        sigaction(SIGPIPE, &savedPipeAction_, nullptr);
    }

    bool keyboard() const override { return keyboard_; }

    void start() override {
        if (!keyboard_ || tcgetattr(STDIN_FILENO, &savedTerminal_) != 0) return;
        termios tio = savedTerminal_;
        cfmakeraw(&tio);
        raw_ = tcsetattr(STDIN_FILENO, TCSAFLUSH, &tio) == 0;
    }

    std::optional<std::size_t> read(std::span<std::uint8_t> into, int waitMs) override {
        if (stopSignal) return std::nullopt;
        pollfd pfd{STDIN_FILENO, POLLIN, 0};
        const int ready = poll(&pfd, 1, waitMs);
        if (ready == 0 || (ready < 0 && errno == EINTR))
            return stopSignal ? std::nullopt : std::optional<std::size_t>(0);
        if (ready < 0) return std::nullopt;
        const ssize_t n = ::read(STDIN_FILENO, into.data(), into.size());
        if (n > 0) return static_cast<std::size_t>(n);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            return stopSignal ? std::nullopt : std::optional<std::size_t>(0);
        // The end of a pipe or file, a terminal hung up, or no standard input at all.
        return std::nullopt;
    }

    bool write(std::span<const std::uint8_t> bytes) override {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(STDOUT_FILENO, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    bool stopRequested() const override { return stopSignal != 0; }

private:
    bool keyboard_;
    bool raw_ = false;
    termios savedTerminal_{};
    struct sigaction savedActions_[std::size(stopSignals)]{};
    struct sigaction savedPipeAction_ {};
};

}  // namespace

std::unique_ptr<UserSide> openUserSide() {
    return std::make_unique<PosixUserSide>();
}

}  // namespace kestrup::cli
