#include "port/serial_port.h"

namespace kestrup {

std::string whyNotOpened(const PortOpen& result) {
    const std::string detail = result.detail.empty() ? "" : " (" + result.detail + ")";
    switch (result.failure.value_or(OpenFailure::other)) {
        case OpenFailure::missing:
            return "does not exist";
        case OpenFailure::busy:
            return "is busy (another program has it open)";
        case OpenFailure::notSerialPort:
            return "is not a serial port";
        case OpenFailure::notAllowed:
            return "may not be opened by this user" + detail;
        case OpenFailure::settingRefused:
            return "refuses the serial settings" + detail;
        case OpenFailure::other:
            break;
    }
    return "cannot be opened" + detail;
}

}  // namespace kestrup
