#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <set>

#include "base/unique_handle_posix.h"
#include "platform.h"

namespace kestrup::cli {

void makeStdoutBinary() {}

// Sleeps here are as short as asked already.
void useFineSleeps() {}

bool stderrIsTerminal() {
    return isatty(STDERR_FILENO) == 1;
}

namespace {

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    if (const UniqueDir d(opendir(dir.c_str())); d) {
        while (const dirent* e = readdir(d.get()))
            if (e->d_name[0] != '.') names.emplace_back(e->d_name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string firstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::string resolved(const std::string& path) {
    char buffer[PATH_MAX];
    return realpath(path.c_str(), buffer) ? std::string(buffer) : path;
}

// Vendor and product of the USB device behind a tty, found by walking up its sysfs device path.
std::string usbDescription(const std::string& ttyName) {
    std::string dir = resolved("/sys/class/tty/" + ttyName + "/device");
    for (int up = 0; up < 4 && dir.size() > 1; ++up) {
        const std::string vendor = firstLine(dir + "/idVendor");
        if (!vendor.empty()) {
            std::string text = "USB " + vendor + ":" + firstLine(dir + "/idProduct");
            for (const char* field : {"/manufacturer", "/product", "/serial"}) {
                const std::string value = firstLine(dir + field);
                if (!value.empty()) text += " " + value;
            }
            return text;
        }
        dir = dir.substr(0, dir.rfind('/'));
    }
    return {};
}

}  // namespace

std::vector<SerialPortInfo> listSerialPorts() {
    std::vector<SerialPortInfo> ports;
    std::set<std::string> seen;
    // Stable names first: they survive replugging, so they are the ones to put in scripts.
    for (const auto& name : entries("/dev/serial/by-id")) {
        const std::string link = "/dev/serial/by-id/" + name;
        const std::string device = resolved(link);
        const std::string tty = device.substr(device.rfind('/') + 1);
        std::string description = "-> " + device;
        if (const auto usb = usbDescription(tty); !usb.empty()) description += ", " + usb;
        ports.push_back({link, description});
        seen.insert(device);
    }
    for (const auto& name : entries("/dev")) {
        if (name.rfind("ttyUSB", 0) != 0 && name.rfind("ttyACM", 0) != 0) continue;
        const std::string device = "/dev/" + name;
        if (seen.count(device)) continue;
        ports.push_back({device, usbDescription(name)});
    }
    return ports;
}

}  // namespace kestrup::cli
