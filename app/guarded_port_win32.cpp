#include "guarded_port_win32.h"

namespace kestrup::app {

class GuardedSerialPort::Lock {
public:
    explicit Lock(CRITICAL_SECTION& section) : section_(section) { EnterCriticalSection(&section_); }
    ~Lock() { LeaveCriticalSection(&section_); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

private:
    CRITICAL_SECTION& section_;
};

GuardedSerialPort::GuardedSerialPort(std::unique_ptr<SerialPort> port) : port_(std::move(port)) {
    InitializeCriticalSection(&guard_);
}

GuardedSerialPort::~GuardedSerialPort() { DeleteCriticalSection(&guard_); }

bool GuardedSerialPort::open(const std::string& device) {
    Lock lock(guard_);
    return port_->open(device);
}

void GuardedSerialPort::configure() {
    Lock lock(guard_);
    port_->configure();
}

void GuardedSerialPort::setDtr(bool asserted) {
    Lock lock(guard_);
    port_->setDtr(asserted);
}

void GuardedSerialPort::setRts(bool asserted) {
    Lock lock(guard_);
    port_->setRts(asserted);
}

void GuardedSerialPort::purgeReceive() {
    Lock lock(guard_);
    port_->purgeReceive();
}

std::optional<std::size_t> GuardedSerialPort::write(std::span<const std::uint8_t> bytes) {
    Lock lock(guard_);
    return port_->write(bytes);
}

std::optional<std::size_t> GuardedSerialPort::read(std::span<std::uint8_t> into) {
    Lock lock(guard_);
    return port_->read(into);
}

void GuardedSerialPort::close() {
    Lock lock(guard_);
    port_->close();
}

bool GuardedSerialPort::setBaud(int baud) {
    Lock lock(guard_);
    return port_->setBaud(baud);
}

void GuardedSerialPort::drain() {
    Lock lock(guard_);
    port_->drain();
}

void GuardedSerialPort::stopForever() {
    // Never left: nothing may touch the port again before the process is gone.
    EnterCriticalSection(&guard_);
    port_->close();
}

}  // namespace kestrup::app
