#include "platform.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include <algorithm>
#include <memory>

#include <windows.h>

namespace kestrup::cli {

void makeStdoutBinary() { _setmode(_fileno(stdout), _O_BINARY); }

bool stderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

std::vector<SerialPortInfo> listSerialPorts() {
    std::vector<SerialPortInfo> ports;
    HKEY key = nullptr;
    // The system's map of serial devices to their COM names, kept up to date by the drivers.
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) == ERROR_SUCCESS) {
        for (DWORD i = 0;; ++i) {
            char name[256];
            DWORD nameSize = sizeof name;
            BYTE data[256];
            DWORD dataSize = sizeof data - 1;
            DWORD type = 0;
            if (RegEnumValueA(key, i, name, &nameSize, nullptr, &type, data, &dataSize) != ERROR_SUCCESS) break;
            if (type != REG_SZ) continue;
            data[dataSize] = 0;
            std::string com(reinterpret_cast<char*>(data));
            if (com.rfind("COM", 0) == 0) com = com.substr(3);
            ports.push_back({com, std::string("COM") + com + " (" + name + ")"});
        }
        RegCloseKey(key);
    }
    // Ports the map does not hold (virtual ones, emulations) still have a COM name that leads somewhere.
    for (int n = 1; n <= 256; ++n) {
        const std::string number = std::to_string(n);
        const bool known = std::any_of(ports.begin(), ports.end(), [&](const SerialPortInfo& p) { return p.port == number; });
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

namespace {

DWORD WINAPI runTask(LPVOID parameter) {
    const auto* task = static_cast<const std::function<void()>*>(parameter);
    (*task)();
    return 0;
}

}  // namespace

std::vector<bool> runParallel(const std::vector<std::function<void()>>& tasks, int deadlineMs,
                              const std::function<void()>& tick, int tickMs) {
    // Copies that outlive this call: a task past the deadline still runs until the process ends.
    auto* owned = new std::vector<std::function<void()>>(tasks);
    std::vector<HANDLE> threads;
    std::vector<bool> finished(tasks.size(), false);
    for (std::size_t i = 0; i < owned->size(); ++i) {
        threads.push_back(CreateThread(nullptr, 0, runTask, &(*owned)[i], 0, nullptr));
        if (threads.back() == nullptr) {
            (*owned)[i]();  // no thread to be had: run it here rather than lose it
            finished[i] = true;
        }
    }
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        bool all = true;
        for (std::size_t i = 0; i < threads.size(); ++i) {
            if (!finished[i] && threads[i] != nullptr) finished[i] = WaitForSingleObject(threads[i], 0) == WAIT_OBJECT_0;
            all = all && finished[i];
        }
        const ULONGLONG elapsed = GetTickCount64() - start;
        if (all || (deadlineMs >= 0 && elapsed >= static_cast<ULONGLONG>(deadlineMs))) break;
        DWORD wait = static_cast<DWORD>(tickMs);
        if (deadlineMs >= 0) wait = std::min<DWORD>(wait, static_cast<DWORD>(deadlineMs - elapsed));
        std::vector<HANDLE> running;
        for (std::size_t i = 0; i < threads.size(); ++i)
            if (!finished[i] && threads[i] != nullptr) running.push_back(threads[i]);
        WaitForMultipleObjects(static_cast<DWORD>(std::min<std::size_t>(running.size(), MAXIMUM_WAIT_OBJECTS)),
                               running.data(), FALSE, wait);
        if (tick) tick();
    }
    bool all = true;
    for (std::size_t i = 0; i < threads.size(); ++i) {
        if (threads[i] != nullptr) CloseHandle(threads[i]);
        all = all && finished[i];
    }
    if (all) delete owned;
    return finished;
}

}  // namespace kestrup::cli
