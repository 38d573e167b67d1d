#include "port/guarded_port.h"

namespace kestrup {

PortOpen GuardedSerialPort::open(const std::string& device) {
    const Lock lock(guard_);
    return port_->open(device);
}

void GuardedSerialPort::configure() {
    const Lock lock(guard_);
    port_->configure();
}

void GuardedSerialPort::setDtr(bool asserted) {
    const Lock lock(guard_);
    port_->setDtr(asserted);
}

void GuardedSerialPort::setRts(bool asserted) {
    const Lock lock(guard_);
    port_->setRts(asserted);
}

void GuardedSerialPort::purgeReceive() {
    const Lock lock(guard_);
    port_->purgeReceive();
}

std::optional<std::size_t> GuardedSerialPort::write(std::span<const std::uint8_t> bytes) {
    const Lock lock(guard_);
    return port_->write(bytes);
}

std::optional<std::size_t> GuardedSerialPort::read(std::span<std::uint8_t> into) {
    const Lock lock(guard_);
    return port_->read(into);
}

void GuardedSerialPort::close() {
    const Lock lock(guard_);
    port_->close();
}

bool GuardedSerialPort::setBaud(int baud) {
    const Lock lock(guard_);
    return port_->setBaud(baud);
}

bool GuardedSerialPort::setStopBits(int stopBits) {
    const Lock lock(guard_);
    return port_->setStopBits(stopBits);
}

void GuardedSerialPort::drain() {
    const Lock lock(guard_);
    port_->drain();
}

void GuardedSerialPort::stopForever() {
    // Never unlocked: nothing may touch the port again before the process is gone.
    guard_.lock();
    port_->close();
}

}  // namespace kestrup
