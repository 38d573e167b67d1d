#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>

#include "base/unique_handle_posix.h"
#include "pty_server.h"
#include "terminal_baud_posix.h"
#include "transcript.h"
#include "wire/wire.h"

namespace kestrup::sim {
namespace {

volatile std::sig_atomic_t stopRequested = 0;

extern "C" void onStopSignal(int) {
    stopRequested = 1;
}

std::int64_t monotonicNanos() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

timespec toTimespec(std::int64_t nanos) {
    return timespec{static_cast<time_t>(nanos / 1'000'000'000), static_cast<long>(nanos % 1'000'000'000)};
}

void makeRaw(int fd) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) return;
    cfmakeraw(&tio);
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    tio.c_cflag |= CS8 | CSTOPB | CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &tio);
}

// The line as the chip sees it: bytes the host wrote, each stamped with the time its frame ends.
struct Arrival {
    std::uint8_t byte;
    std::int64_t availableAt;  // when it was read from the pty
    int baud;                  // the host's rate as it was read
    bool lost = false;         // it takes its time on the line but never reaches the chip
};

std::int64_t frameNanos(int baud) {
    return std::int64_t{1'000'000'000} * bitsPerFrame / baud;
}

class Server {
public:
    Server(const PropsimOptions& options, UniqueFd& master, UniqueFd& slave)
        : options_(options),
          model_(options.chip),
          program_(options.program, options.programBaud),
          lineFaults_(options.lineFaults),
          masterFd_(master),
          slaveFd_(slave),
          master_(master.get()),
          slave_(slave.get()) {}

    int run();

    // The rate the host set on its end of the line (the ROM's 115200 when the pty does not say):
    // bytes travel at it, and the second stage times its syncs by it.
    int hostBaud() const;

private:
    void readLine(std::int64_t now);
    void deliverDue(std::int64_t now);
    void throttle();
    void recordEnded();
    void send(std::vector<std::uint8_t> bytes);
    // The chip's bytes through the adapter: held until usbPacket wait or its latency has passed.
    void hold(std::vector<std::uint8_t> bytes, std::int64_t now);
    void releaseHeld(std::int64_t now, bool all = false);
    void write(const std::vector<std::uint8_t>& bytes);
    // The rate the chip hears: the adapter's of the host's.
    int madeBaud(int baud) const;
    bool finishedSessions(std::int64_t now) const;
    void unplug();

    const PropsimOptions& options_;
    ChipModel model_;
    RunningProgram program_;
    LineFaults lineFaults_;
    UniqueFd& masterFd_;
    UniqueFd& slaveFd_;
    int master_;
    int slave_;
    std::deque<Arrival> line_;
    std::int64_t lastArrival_ = LLONG_MIN / 2;
    bool hostHeld_ = false;
    std::ofstream transcript_;
    bool unplugged_ = false;
    std::vector<std::uint8_t> held_;
    std::int64_t heldSince_ = 0;
};

// An FTDI adapter sends the chip's bytes on to the host in USB packets of 62 data bytes, or sooner
// when its latency timer runs out.
constexpr std::size_t usbPacket = 62;

// With pacing, the host must not run ahead of the wire: a pty takes 64 KB before a write blocks,
// which a real port's driver would have sent long before, and clocks queued behind that much data
// would reach the chip seconds late. Stopping the pty's output (as a flow-controlled UART would)
// keeps the backlog to a few milliseconds of wire time.
constexpr std::size_t holdAbove = 512;
constexpr std::size_t releaseBelow = 256;
constexpr std::int64_t idleTickNanos = 10'000'000;
// How far ahead a board stopped by its owner still takes the steps it has scheduled.
constexpr Micros lastStepsMicros = 1'000'000;

int Server::run() {
    if (!options_.transcript.empty()) {
        transcript_.open(options_.transcript, std::ios::binary | std::ios::trunc);
        if (!transcript_) {
            std::fprintf(stderr, "propsim: cannot write %s\n", options_.transcript.c_str());
            return 2;
        }
    }
    sigset_t blocked{};
    sigset_t waiting{};
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigprocmask(SIG_BLOCK, &blocked, &waiting);
    sigdelset(&waiting, SIGINT);
    sigdelset(&waiting, SIGTERM);

    while (!stopRequested) {
        std::int64_t now = monotonicNanos();
        deliverDue(now);
        if (unplugged_) break;
        send(model_.answersDue(now / 1000));
        throttle();
        now = monotonicNanos();
        std::int64_t wait = idleTickNanos;
        if (const auto answer = model_.nextAnswer()) wait = std::clamp<std::int64_t>(*answer * 1000 - now, 0, wait);
        releaseHeld(now);
        if (!held_.empty()) wait = std::clamp<std::int64_t>(heldSince_ + options_.usbLatency * 1000 - now, 0, wait);
        if (!line_.empty()) {
            wait = 0;
            if (options_.pace) {
                const Arrival& next = line_.front();
                const std::int64_t due = std::max(next.availableAt, lastArrival_) + frameNanos(next.baud);
                wait = std::clamp<std::int64_t>(due - now, 0, std::min(idleTickNanos, wait));
            }
        } else {
            model_.idle(now / 1000);
            send(program_.step(model_, std::nullopt, now / 1000, hostBaud()));
            recordEnded();
            if (!model_.current()) {
                // The host's exclusive mode outlives its close on a pty (the slave lives as long as
                // our master), which would refuse the next upload to anyone but root.
                ioctl(slave_, TIOCNXCL);
            }
            if (finishedSessions(now)) break;
        }
        const bool full = options_.pace && line_.size() >= holdAbove;
        pollfd pfd{master_, static_cast<short>(full ? 0 : POLLIN), 0};
        const timespec timeout = toTimespec(wait);
        const int ready = ppoll(&pfd, 1, &timeout, &waiting);
        if (ready > 0 && (pfd.revents & POLLIN)) {
            readLine(monotonicNanos());
            // At once, not after the next delivery: a host can write a whole image in the time
            // it takes us to come round again.
            throttle();
        }
    }

    if (unplugged_) return 0;
    if (hostHeld_) tcflow(slave_, TCOON);
    // Stopped within a board's last steps (an answer still due, the second stage's delay before it
    // starts the image), it takes them first, as a board left powered would.
    const Micros stoppedAt = monotonicNanos() / 1000;
    for (auto next = model_.nextAnswer(); next && *next <= stoppedAt + lastStepsMicros; next = model_.nextAnswer())
        send(model_.answersDue(*next));
    model_.finish();
    recordEnded();
    releaseHeld(monotonicNanos(), true);
    return 0;
}

int Server::hostBaud() const {
    return terminalBaud(slave_).value_or(baudRate);
}

int Server::madeBaud(int baud) const {
    return options_.ftdiAdapter ? static_cast<int>(std::lround(adapter::made(baud))) : baud;
}

void Server::readLine(std::int64_t now) {
    // A host changes its rate only once what it wrote has left (it drains first), so the bytes
    // read now went at the rate set now.
    const int baud = madeBaud(hostBaud());
    std::uint8_t buffer[4096];
    for (;;) {
        // Paced, what we have not taken stays in the pty, whose few kilobytes then block the host's
        // writes as a UART's driver would: a race we lose to a fast host cannot hand us the image.
        std::size_t room = sizeof buffer;
        if (options_.pace) room = line_.size() < holdAbove ? std::min(room, holdAbove - line_.size()) : 0;
        if (room == 0) return;
        const ssize_t n = ::read(master_, buffer, room);
        if (n <= 0) return;
        for (ssize_t i = 0; i < n; ++i) {
            const auto byte = lineFaults_.pass(LineWay::toChip, baud, buffer[i]);
            line_.push_back(Arrival{byte.value_or(buffer[i]), now, baud, !byte});
        }
    }
}

void Server::deliverDue(std::int64_t now) {
    while (!line_.empty()) {
        const Arrival next = line_.front();
        // A frame ends one frame-time after it could start: once written, or after the one before.
        const std::int64_t arrival =
            options_.pace ? std::max(next.availableAt, lastArrival_) + frameNanos(next.baud) : next.availableAt;
        if (arrival > now) return;
        line_.pop_front();
        lastArrival_ = arrival;
        if (next.lost) continue;
        // The reply to a clock runs alongside it on the host's own edges, so it is complete when
        // the clock is: it goes out now, with no wire time of its own.
        send(model_.receive(next.byte, arrival / 1000, next.baud));
        send(program_.step(model_, next.byte, arrival / 1000, next.baud));
        recordEnded();
        if (model_.current() && hangupDue(options_.hangup, *model_.current())) {
            unplug();
            return;
        }
    }
}

void Server::unplug() {
    model_.unplug();
    recordEnded();
    // With the master closed the host's end is hung up, as a tty whose adapter is gone: its writes
    // fail and its reads find nothing. Our own slave goes too, so that nothing keeps the line alive.
    masterFd_.reset();
    slaveFd_.reset();
    master_ = slave_ = -1;
    line_.clear();
    unplugged_ = true;
    std::fprintf(stderr, "propsim: unplugged\n");
}

void Server::throttle() {
    if (!options_.pace) return;
    // Bytes the host has written count whether we have read them yet or not.
    int unread = 0;
    if (ioctl(master_, FIONREAD, &unread) != 0) unread = 0;
    const std::size_t backlog = line_.size() + static_cast<std::size_t>(unread);
    if (!hostHeld_ && backlog > holdAbove) {
        hostHeld_ = tcflow(slave_, TCOOFF) == 0;
    } else if (hostHeld_ && backlog < releaseBelow) {
        tcflow(slave_, TCOON);
        hostHeld_ = false;
    }
}

void Server::send(std::vector<std::uint8_t> bytes) {
    if (bytes.empty()) return;
    const int baud = hostBaud();
    std::erase_if(bytes, [&](std::uint8_t& byte) {
        const auto passed = lineFaults_.pass(LineWay::toHost, baud, byte);
        byte = passed.value_or(byte);
        return !passed;
    });
    if (options_.usbLatency > 0) return hold(std::move(bytes), monotonicNanos());
    write(bytes);
}

void Server::hold(std::vector<std::uint8_t> bytes, std::int64_t now) {
    if (held_.empty()) heldSince_ = now;
    held_.insert(held_.end(), bytes.begin(), bytes.end());
    releaseHeld(now);
}

void Server::releaseHeld(std::int64_t now, bool all) {
    if (held_.empty()) return;
    if (all || now >= heldSince_ + options_.usbLatency * 1000) {
        write(held_);
        held_.clear();
        return;
    }
    // Whole packets go at once; what is left waits for the timer, which starts again.
    const std::size_t whole = held_.size() / usbPacket * usbPacket;
    if (whole == 0) return;
    write({held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(whole)});
    held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(whole));
    heldSince_ = now;
}

void Server::write(const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        // A full pty (nobody reading) drops the bytes, as a line does.
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

void Server::recordEnded() {
    for (const SessionRecord& session : model_.takeEnded()) {
        if (transcript_.is_open()) {
            transcript_ << formatSession(session);
            transcript_.flush();
        }
        const bool loaded = session.command && *session.command >= 1 && *session.command <= 3;
        if (loaded && !options_.imageOut.empty()) {
            std::ofstream image(options_.imageOut, std::ios::binary | std::ios::trunc);
            for (const std::uint32_t value : session.longs) {
                const char bytes[4] = {static_cast<char>(value), static_cast<char>(value >> 8),
                                       static_cast<char>(value >> 16), static_cast<char>(value >> 24)};
                image.write(bytes, 4);
            }
        }
    }
}

bool Server::finishedSessions(std::int64_t now) const {
    return options_.sessions > 0 && model_.sessionsStarted() >= options_.sessions && !model_.current() &&
           now - lastArrival_ >= options_.linger * 1000;
}

}  // namespace

int servePty(const PropsimOptions& options) {
    UniqueFd master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!master || grantpt(master.get()) != 0 || unlockpt(master.get()) != 0) {
        std::fprintf(stderr, "propsim: cannot open a pseudo-terminal: %s\n", std::strerror(errno));
        return 2;
    }
    char path[128];
    if (ptsname_r(master.get(), path, sizeof path) != 0) {
        std::fprintf(stderr, "propsim: no name for the pseudo-terminal\n");
        return 2;
    }
    // Held for the whole run: it keeps the line's settings, lets us stop the host's output for
    // pacing, and keeps reads on the master from failing between hosts.
    UniqueFd slave(::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!slave) {
        std::fprintf(stderr, "propsim: cannot open %s: %s\n", path, std::strerror(errno));
        return 2;
    }
    // Raw before anyone opens it: a host that reads the settings first (Wine does) must find them.
    makeRaw(slave.get());
    makeRaw(master.get());
    fcntl(master.get(), F_SETFL, fcntl(master.get(), F_GETFL) | O_NONBLOCK);
    // Wake-ups within a microsecond or so, so that paced replies leave on time.
    prctl(PR_SET_TIMERSLACK, 1000UL);
    // A board answers at once, whatever else the machine is doing; ahead of ordinary processes, a
    // busy machine does not hold our replies back past the loader's windows. Only root may ask.
    if (setpriority(PRIO_PROCESS, 0, -15) != 0)
        std::fprintf(stderr, "propsim: runs at normal priority (%s): a busy machine may delay its replies\n",
                     std::strerror(errno));

    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    std::printf("%s\n", path);
    std::fflush(stdout);

    Server server(options, master, slave);
    return server.run();
}

}  // namespace kestrup::sim
