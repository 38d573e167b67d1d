#include <fcntl.h>
#ifdef __linux__
#include <linux/serial.h>
#endif
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "base/unique_handle_posix.h"
#include "port/serial_baud_posix.h"
#include "port/serial_port.h"

namespace kestrup {
namespace {

std::optional<speed_t> standardSpeed(int baud) {
    static constexpr std::pair<int, speed_t> speeds[] = {
        {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
        {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
        {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
        {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}};
    for (const auto& [rate, code] : speeds)
        if (rate == baud) return code;
    return std::nullopt;
}

PortOpen failure(int error) {
    if (error == EBUSY || error == EWOULDBLOCK) return PortOpen::failed(OpenFailure::busy);
    if (error == ENOENT || error == ENODEV || error == ENXIO) return PortOpen::failed(OpenFailure::missing);
    if (error == EACCES || error == EPERM)
        return PortOpen::failed(OpenFailure::notAllowed, "is the user in its group, often dialout?");
    if (error == ENOTTY || error == EINVAL) return PortOpen::failed(OpenFailure::notSerialPort);
    return PortOpen::failed(OpenFailure::other, std::strerror(error));
}

class PosixSerialPort final : public SerialPort {
public:
    ~PosixSerialPort() override { close(); }

    PortOpen open(const std::string& device) override {
        close();
        // Non-blocking only for the open itself, so that a line without carrier cannot hang it.
        UniqueFd fd(::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        if (!fd) return failure(errno);
        if (!isatty(fd.get())) return PortOpen::failed(OpenFailure::notSerialPort);
        termios probe{};
        if (tcgetattr(fd.get(), &probe) != 0)
            return PortOpen::failed(OpenFailure::settingRefused, std::strerror(errno));
        // Exclusive like a Windows COM port: a second opener, of this program or another, is refused.
        if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return failure(errno);
        ioctl(fd.get(), TIOCEXCL);
        fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
        fd_ = std::move(fd);
        return PortOpen::opened();
    }

    void configure() override {
        termios tio{};
        if (tcgetattr(fd_.get(), &tio) != 0) return;
        cfmakeraw(&tio);
        cfsetispeed(&tio, B115200);
        cfsetospeed(&tio, B115200);
        tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CRTSCTS);
        tio.c_cflag |= CS8 | CSTOPB | CLOCAL | CREAD;
        tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
        // Reads return at once with whatever has arrived.
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        tcsetattr(fd_.get(), TCSANOW, &tio);
        askLowLatency();
    }

    // A pseudo-terminal has no modem lines; these fail there, harmlessly.
    void setDtr(bool asserted) override { modemLine(TIOCM_DTR, asserted); }
    void setRts(bool asserted) override { modemLine(TIOCM_RTS, asserted); }

    void purgeReceive() override { tcflush(fd_.get(), TCIFLUSH); }

    std::optional<std::size_t> write(std::span<const std::uint8_t> bytes) override {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd_.get(), bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                if (done == 0) return std::nullopt;
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        return done;
    }

    std::optional<std::size_t> read(std::span<std::uint8_t> into) override {
        for (;;) {
            const ssize_t n = ::read(fd_.get(), into.data(), into.size());
            if (n >= 0) return static_cast<std::size_t>(n);
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
            return std::nullopt;
        }
    }

    void close() override {
        if (!fd_) return;
        // Exclusive mode belongs to the terminal, not to this descriptor: on a pty it would outlive
        // the close and lock out the next opener who is not root.
        ioctl(fd_.get(), TIOCNXCL);
        fd_.reset();
    }

    bool setBaud(int baud) override {
        // A standard rate through <termios.h>, so that anything reading the line's settings back
        // with cfgetospeed (a pty's far end, for one) sees it; any other through termios2.
        const auto code = standardSpeed(baud);
        if (!code) return setLineBaud(fd_.get(), baud);
        termios tio{};
        if (tcgetattr(fd_.get(), &tio) != 0) return false;
        cfsetispeed(&tio, *code);
        cfsetospeed(&tio, *code);
        return tcsetattr(fd_.get(), TCSANOW, &tio) == 0;
    }

    bool setStopBits(int stopBits) override { return setLineStopBits(fd_.get(), stopBits); }

    void drain() override {
        while (tcdrain(fd_.get()) != 0 && errno == EINTR) {
        }
    }

private:
    // A USB adapter's driver that takes the hint (FTDI's) then passes the chip's bytes on within
    // 1 ms instead of its 16 ms latency timer: every answer comes sooner. A driver or a pty that
    // refuses it leaves the port as it was, which the loader allows for.
    void askLowLatency() {
#ifdef __linux__
        serial_struct serial{};
        if (ioctl(fd_.get(), TIOCGSERIAL, &serial) != 0) return;
        serial.flags |= ASYNC_LOW_LATENCY;
        ioctl(fd_.get(), TIOCSSERIAL, &serial);
#endif
    }

    void modemLine(int line, bool asserted) {
        ioctl(fd_.get(), asserted ? TIOCMBIS : TIOCMBIC, &line);
    }

    UniqueFd fd_;
};

}  // namespace

// Linux numbers its first serial port ttyS0 where Windows says COM1.
std::string comDeviceName(std::int32_t comNumber) {
    return "/dev/ttyS" + std::to_string(static_cast<std::int64_t>(comNumber) - 1);
}

std::unique_ptr<SerialPort> makeSystemSerialPort() {
    return std::make_unique<PosixSerialPort>();
}

}  // namespace kestrup
