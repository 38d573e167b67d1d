#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <windows.h>

#include <algorithm>

#include "base/unique_handle_win32.h"
#include "platform.h"
// After <windows.h>, which it builds on.
#include <timeapi.h>

namespace kestrup::cli {

void makeStdoutBinary() {
    _setmode(_fileno(stdout), _O_BINARY);
}

// For the life of the process; Windows undoes it when the process ends.
void useFineSleeps() {
    timeBeginPeriod(1);
}

bool stderrIsTerminal() {
    return _isatty(_fileno(stderr)) != 0;
}

std::vector<SerialPortInfo> listSerialPorts() {
    std::vector<SerialPortInfo> ports;
    HKEY opened = nullptr;
    // The system's map of serial devices to their COM names, kept up to date by the drivers.
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &opened) == ERROR_SUCCESS) {
        const UniqueKey key(opened);
        for (DWORD i = 0;; ++i) {
            char name[256];
            DWORD nameSize = sizeof name;
            BYTE data[256];
            DWORD dataSize = sizeof data - 1;
            DWORD type = 0;
            if (RegEnumValueA(key.get(), i, name, &nameSize, nullptr, &type, data, &dataSize) != ERROR_SUCCESS) break;
            if (type != REG_SZ) continue;
            data[dataSize] = 0;
            std::string com(reinterpret_cast<char*>(data));
            if (com.rfind("COM", 0) == 0) com = com.substr(3);
            ports.push_back({com, std::string("COM") + com + " (" + name + ")"});
        }
    }
    // Ports the map does not hold (virtual ones, emulations) still have a COM name that leads somewhere.
    for (int n = 1; n <= 256; ++n) {
        const std::string number = std::to_string(n);
        const bool known =
            std::any_of(ports.begin(), ports.end(), [&](const SerialPortInfo& p) { return p.port == number; });
        char target[512];
        const std::string name = "COM" + number;
        if (!known && QueryDosDeviceA(name.c_str(), target, sizeof target) != 0)
            ports.push_back({number, name + " (" + target + ")"});
    }
    std::sort(ports.begin(), ports.end(), [](const SerialPortInfo& a, const SerialPortInfo& b) {
        return a.port.size() != b.port.size() ? a.port.size() < b.port.size() : a.port < b.port;
    });
    return ports;
}

}  // namespace kestrup::cli
