#include "tracing_port.h"

#include <string>

namespace kestrup {

TracingPort::TracingPort(SerialPort& inner, Clock& clock, std::FILE* out) : inner_(inner), clock_(clock), out_(out) {}

void TracingPort::line(const char* what, std::span<const std::uint8_t> bytes) {
    const std::int64_t now = clock_.nowMicros();
    if (start_ < 0) start_ = now;
    if (emptyReads_ > 0 && std::string(what) != "read 0") {
        std::fprintf(out_, "%10.6f (%d empty reads)\n", static_cast<double>(lastEmptyRead_ - start_) / 1e6, emptyReads_);
        emptyReads_ = 0;
    }
    std::fprintf(out_, "%10.6f %s", static_cast<double>(now - start_) / 1e6, what);
    for (const auto b : bytes) std::fprintf(out_, " %02X", b);
    std::fputc('\n', out_);
}

bool TracingPort::open(const std::string& device) {
    const bool ok = inner_.open(device);
    line(("open " + device + (ok ? "" : " failed")).c_str());
    return ok;
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
    const std::string what = !result ? "write FAILED" : "write " + std::to_string(*result) + "/" + std::to_string(bytes.size()) + ":";
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

void TracingPort::close() {
    inner_.close();
    line("close");
    std::fflush(out_);
}

}  // namespace kestrup
