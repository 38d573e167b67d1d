#include "terminal.h"

#include <algorithm>
#include <atomic>

#include <windows.h>

namespace kestrup::cli {
namespace {

std::atomic<bool> stopAsked{false};

// Ctrl+C and Ctrl+Break while input is a pipe (a keyboard's Ctrl+C is a key for the board), the
// console's close, logoff, shutdown: the terminal ends the orderly way and gives the console back.
BOOL WINAPI onConsoleControl(DWORD) {
    stopAsked = true;
    return TRUE;
}

class Win32UserSide final : public UserSide {
public:
    Win32UserSide() : in_(GetStdHandle(STD_INPUT_HANDLE)), out_(GetStdHandle(STD_OUTPUT_HANDLE)) {
        keyboard_ = GetConsoleMode(in_, &savedInputMode_) != 0;
        pipe_ = !keyboard_ && GetFileType(in_) == FILE_TYPE_PIPE;
        SetConsoleCtrlHandler(onConsoleControl, TRUE);
    }

    ~Win32UserSide() override {
        if (rawInput_) SetConsoleMode(in_, savedInputMode_);
        if (terminalOutput_) SetConsoleMode(out_, savedOutputMode_);
        SetConsoleCtrlHandler(onConsoleControl, FALSE);
    }

    bool keyboard() const override { return keyboard_; }

    void start() override {
        if (keyboard_) {
            // Keys one by one, unechoed, Ctrl+C among them; no mouse or window events to wake us.
            const DWORD raw = savedInputMode_ & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT |
                                                                    ENABLE_PROCESSED_INPUT | ENABLE_MOUSE_INPUT |
                                                                    ENABLE_WINDOW_INPUT);
            rawInput_ = SetConsoleMode(in_, raw) != 0;
        }
        // A board's escape sequences (colours, cursor moves) work as on any terminal.
        if (GetConsoleMode(out_, &savedOutputMode_))
            terminalOutput_ = SetConsoleMode(out_, savedOutputMode_ | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
    }

    std::optional<std::size_t> read(std::span<std::uint8_t> into, int waitMs) override {
        if (stopAsked) return std::nullopt;
        if (keyboard_) return readKeys(into, waitMs);
        DWORD wanted = static_cast<DWORD>(into.size());
        if (pipe_) {
            DWORD available = 0;
            // Fails once the writer has gone and everything it wrote has been read.
            if (!PeekNamedPipe(in_, nullptr, 0, nullptr, &available, nullptr)) return std::nullopt;
            if (available == 0) {
                Sleep(static_cast<DWORD>(waitMs));
                return stopAsked ? std::nullopt : std::optional<std::size_t>(0);
            }
            wanted = std::min(wanted, available);
        }
        DWORD got = 0;
        if (!ReadFile(in_, into.data(), wanted, &got, nullptr) || got == 0) return std::nullopt;
        return got;
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
    bool pipe_ = false;
    bool rawInput_ = false;
    bool terminalOutput_ = false;
    DWORD savedInputMode_ = 0;
    DWORD savedOutputMode_ = 0;
};

}  // namespace

std::unique_ptr<UserSide> openUserSide() { return std::make_unique<Win32UserSide>(); }

std::string whyNotOpened() {
    // What CreateFile left: a COM port that another program holds is "access denied".
    const DWORD error = GetLastError();
    if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) return "is busy (another program has it open)";
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return "does not exist";
    char text[256] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text, sizeof text, nullptr);
    std::string reason(text);
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == '.')) reason.pop_back();
    return "cannot be opened (" + reason + ")";
}

}  // namespace kestrup::cli
