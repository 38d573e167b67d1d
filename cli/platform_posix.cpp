#include "platform.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <dirent.h>
#include <fstream>
#include <limits.h>
#include <memory>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace kestrup::cli {

void makeStdoutBinary() {}

bool stderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

namespace {

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d))
            if (e->d_name[0] != '.') names.emplace_back(e->d_name);
        closedir(d);
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

std::vector<bool> runParallel(const std::vector<std::function<void()>>& tasks, int deadlineMs,
                              const std::function<void()>& tick, int tickMs) {
    struct Shared {
        std::mutex mutex;
        std::condition_variable changed;
        std::vector<bool> finished;
        std::size_t left;
    };
    auto shared = std::make_shared<Shared>();
    shared->finished.assign(tasks.size(), false);
    shared->left = tasks.size();
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < tasks.size(); ++i) {
        threads.emplace_back([shared, task = tasks[i], i] {
            task();
            const std::lock_guard<std::mutex> lock(shared->mutex);
            shared->finished[i] = true;
            --shared->left;
            shared->changed.notify_all();
        });
    }
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(deadlineMs);
    std::unique_lock<std::mutex> lock(shared->mutex);
    while (shared->left > 0 && (deadlineMs < 0 || clock::now() < deadline)) {
        auto wake = clock::now() + std::chrono::milliseconds(tickMs);
        if (deadlineMs >= 0) wake = std::min(wake, deadline);
        shared->changed.wait_until(lock, wake);
        if (tick) {
            lock.unlock();
            tick();
            lock.lock();
        }
    }
    const std::vector<bool> finished = shared->finished;
    lock.unlock();
    // A finished task's thread is still letting go of its copy of the task (a board, its port):
    // wait for that, or it runs on behind the caller, up to the process's end.
    for (std::size_t i = 0; i < threads.size(); ++i) {
        if (finished[i])
            threads[i].join();
        else
            threads[i].detach();
    }
    return finished;
}

}  // namespace kestrup::cli
