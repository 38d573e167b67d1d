#include "port/tracing_port.h"

#include <string>

namespace kestrup {

TracingPort::TracingPort(SerialPort& inner, Clock& clock, std::FILE* out, std::string label)
    : inner_(inner), clock_(clock), out_(out), label_(label.empty() ? std::string() : label + " ") {}

namespace {

std::string stamp(std::int64_t micros) {
    char text[32];
    std::snprintf(text, sizeof text, "%10.6f ", static_cast<double>(micros) / 1e6);
    return text;
}

}  // namespace

void TracingPort::line(const char* what, std::span<const std::uint8_t> bytes) {
    const std::int64_t now = clock_.nowMicros();
    if (start_ < 0) start_ = now;
    // Each line leaves in one write, so that several ports can share one trace file.
    std::string text;
    if (emptyReads_ > 0) {
        text += label_ + stamp(lastEmptyRead_ - start_) + "(" + std::to_string(emptyReads_) + " empty reads)\n";
        emptyReads_ = 0;
    }
    text += label_ + stamp(now - start_) + what;
    static const char digits[] = "0123456789ABCDEF";
    for (const auto b : bytes) {
        text += ' ';
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    text += '\n';
    std::fputs(text.c_str(), out_);
}

PortOpen TracingPort::open(const std::string& device) {
    PortOpen result = inner_.open(device);
    line(("open " + device + (result ? "" : " failed")).c_str());
    return result;
}

void TracingPort::configure() {
    inner_.configure();
    line("configure 115200 8N2");
}

void TracingPort::setDtr(bool asserted) {
    inner_.setDtr(asserted);
    line(asserted ? "dtr on" : "dtr off");
}

void TracingPort::setRts(bool asserted) {
    inner_.setRts(asserted);
    line(asserted ? "rts on" : "rts off");
}

void TracingPort::purgeReceive() {
    inner_.purgeReceive();
    line("purge receive");
}

std::optional<std::size_t> TracingPort::write(std::span<const std::uint8_t> bytes) {
    const auto result = inner_.write(bytes);
    const std::string what =
        !result ? "write FAILED" : "write " + std::to_string(*result) + "/" + std::to_string(bytes.size()) + ":";
    line(what.c_str(), bytes);
    return result;
}

std::optional<std::size_t> TracingPort::read(std::span<std::uint8_t> into) {
    const auto result = inner_.read(into);
    if (result && *result == 0) {
        const std::int64_t now = clock_.nowMicros();
        if (start_ < 0) start_ = now;
        lastEmptyRead_ = now;
        ++emptyReads_;
        return result;
    }
    if (!result)
        line("read FAILED");
    else
        line(("read " + std::to_string(*result) + ":").c_str(), into.first(*result));
    return result;
}

bool TracingPort::setBaud(int baud) {
    const bool ok = inner_.setBaud(baud);
    line(("baud " + std::to_string(baud) + (ok ? "" : " refused")).c_str());
    return ok;
}

bool TracingPort::setStopBits(int stopBits) {
    const bool ok = inner_.setStopBits(stopBits);
    line(("stop bits " + std::to_string(stopBits) + (ok ? "" : " refused")).c_str());
    return ok;
}

void TracingPort::drain() {
    inner_.drain();
    line("drain");
}

void TracingPort::close() {
    inner_.close();
    line("close");
    std::fflush(out_);
}

}  // namespace kestrup
