#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "terminal.h"

namespace kestrup::cli {
namespace {

std::atomic<bool> stopAsked{false};

// Ctrl+C and Ctrl+Break while input is a pipe (a keyboard's Ctrl+C is a key for the board), the
// console's close, logoff, shutdown: the terminal ends the orderly way and gives the console back.
BOOL WINAPI onConsoleControl(DWORD) {
    stopAsked = true;
    return TRUE;
}

// Standard input that is not a console (a pipe, a file, NUL), read on a thread of its own: a pipe
// cannot be waited on with a time limit, and Wine's pipes cannot be peeked at either.
class InputReader {
public:
    explicit InputReader(HANDLE in) : shared_(std::make_shared<Shared>()) {
        thread_ = std::thread([shared = shared_, in] {
            std::uint8_t buffer[4096];
            for (;;) {
                DWORD got = 0;
                const bool ok = ReadFile(in, buffer, sizeof buffer, &got, nullptr) && got > 0;
                const std::lock_guard<std::mutex> lock(shared->mutex);
                if (ok)
                    shared->bytes.insert(shared->bytes.end(), buffer, buffer + got);
                else
                    shared->ended = true;
                shared->changed.notify_all();
                if (!ok) return;
            }
        });
    }

    ~InputReader() {
        // A read still waiting for input is left to the process's end; it shares only `shared_`.
        if (finished())
            thread_.join();
        else
            thread_.detach();
    }

    std::optional<std::size_t> read(std::span<std::uint8_t> into, int waitMs) {
        std::unique_lock<std::mutex> lock(shared_->mutex);
        shared_->changed.wait_for(lock, std::chrono::milliseconds(waitMs),
                                  [this] { return !shared_->bytes.empty() || shared_->ended; });
        if (shared_->bytes.empty()) return shared_->ended ? std::nullopt : std::optional<std::size_t>(0);
        const std::size_t n = std::min(into.size(), shared_->bytes.size());
        std::copy_n(shared_->bytes.begin(), n, into.begin());
        shared_->bytes.erase(shared_->bytes.begin(), shared_->bytes.begin() + static_cast<std::ptrdiff_t>(n));
        return n;
    }

private:
    bool finished() {
        const std::lock_guard<std::mutex> lock(shared_->mutex);
        return shared_->ended;
    }

    struct Shared {
        std::mutex mutex;
        std::condition_variable changed;
        std::vector<std::uint8_t> bytes;
        bool ended = false;
    };
    std::shared_ptr<Shared> shared_;
    std::thread thread_;
};

class Win32UserSide final : public UserSide {
public:
    Win32UserSide() : in_(GetStdHandle(STD_INPUT_HANDLE)), out_(GetStdHandle(STD_OUTPUT_HANDLE)) {
        keyboard_ = GetConsoleMode(in_, &savedInputMode_) != 0;
        SetConsoleCtrlHandler(onConsoleControl, TRUE);
    }

    ~Win32UserSide() override {
        if (rawInput_) SetConsoleMode(in_, savedInputMode_);
        if (terminalOutput_) SetConsoleMode(out_, savedOutputMode_);
        SetConsoleCtrlHandler(onConsoleControl, FALSE);
    }

    bool keyboard() const override { return keyboard_; }

    void start() override {
        if (!keyboard_) input_ = std::make_unique<InputReader>(in_);
        if (keyboard_) {
            // Keys one by one, unechoed, Ctrl+C among them; no mouse or window events to wake us.
            const DWORD raw =
                savedInputMode_ & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_PROCESSED_INPUT |
                                                      ENABLE_MOUSE_INPUT | ENABLE_WINDOW_INPUT);
            rawInput_ = SetConsoleMode(in_, raw) != 0;
        }
        // A board's escape sequences (colours, cursor moves) work as on any terminal.
        if (GetConsoleMode(out_, &savedOutputMode_))
            terminalOutput_ = SetConsoleMode(out_, savedOutputMode_ | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
    }

    std::optional<std::size_t> read(std::span<std::uint8_t> into, int waitMs) override {
        if (stopAsked) return std::nullopt;
        if (keyboard_) return readKeys(into, waitMs);
        const auto got = input_->read(into, waitMs);
        return stopAsked ? std::nullopt : got;
    }

    bool write(std::span<const std::uint8_t> bytes) override {
        std::size_t done = 0;
        while (done < bytes.size()) {
            DWORD written = 0;
            if (!WriteFile(out_, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &written, nullptr) ||
                written == 0)
                return false;
            done += written;
        }
        return true;
    }

    bool stopRequested() const override { return stopAsked; }

private:
    std::optional<std::size_t> readKeys(std::span<std::uint8_t> into, int waitMs) {
        if (WaitForSingleObject(in_, static_cast<DWORD>(waitMs)) != WAIT_OBJECT_0) return 0;
        INPUT_RECORD records[64];
        DWORD count = 0;
        if (!ReadConsoleInputA(in_, records, static_cast<DWORD>(std::min<std::size_t>(64, into.size())), &count))
            return std::nullopt;
        std::size_t n = 0;
        for (DWORD i = 0; i < count; ++i) {
            const KEY_EVENT_RECORD& key = records[i].Event.KeyEvent;
            // Keys that make no character (arrows, shift) send nothing.
            if (records[i].EventType != KEY_EVENT || !key.bKeyDown || key.uChar.AsciiChar == 0) continue;
            for (WORD r = 0; r < key.wRepeatCount && n < into.size(); ++r)
                into[n++] = static_cast<std::uint8_t>(key.uChar.AsciiChar);
        }
        return n;
    }

    HANDLE in_;
    HANDLE out_;
    bool keyboard_ = false;
    std::unique_ptr<InputReader> input_;
    bool rawInput_ = false;
    bool terminalOutput_ = false;
    DWORD savedInputMode_ = 0;
    DWORD savedOutputMode_ = 0;
};

}  // namespace

std::unique_ptr<UserSide> openUserSide() {
    return std::make_unique<Win32UserSide>();
}

}  // namespace kestrup::cli
