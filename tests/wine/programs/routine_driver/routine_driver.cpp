// The routine tests' and the demo's view of what kestrup.exe shows outside its main window. One
// command per run; results on stdout, one fact per line, written as they happen.
//
//   console TITLE MS             follows the upload console of the process whose main window has
//                                this title: "open <ms>" when it appears, "line <text>" for every
//                                line as it is completed, "gone <ms>" when it has closed (the lines
//                                still on it are given first); ends there, or after MS without one
//   close-console TITLE TEXT MS  waits for a line holding TEXT on that console, then closes the
//                                console window as the user would (WM_CLOSE to the window
//                                "Kestrupload"): "closed <line>"
//   window TITLE                 "showCmd <n>" and "foreground <0|1>" of the top-level window with
//                                this whole title, and "foreground-title <title>" of the window
//                                that is in the foreground
//   move TITLE X Y               moves that window's outer top-left corner to (X, Y), so that the
//                                demo's windows do not hide each other

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/unique_handle_win32.h"

namespace {

constexpr char consoleTitle[] = "Kestrupload";

// stdout as it was before the console switches: attaching to another console moves the standard
// handles onto that console.
HANDLE out = nullptr;

void say(const std::string& text) {
    const std::string line = text + "\n";
    DWORD done = 0;
    WriteFile(out, line.data(), static_cast<DWORD>(line.size()), &done, nullptr);
}

DWORD processOf(const char* mainTitle) {
    for (int waited = 0; waited < 5000; waited += 20) {
        if (HWND main = FindWindowA(nullptr, mainTitle)) {
            DWORD pid = 0;
            GetWindowThreadProcessId(main, &pid);
            return pid;
        }
        Sleep(20);
    }
    return 0;
}

// The rows of the other process's console down to its cursor's row, trailing blanks cut; false
// when that process has no console now. Detaches again at once: a reader still attached would keep
// the console alive after its owner lets go of it, and would itself be ended by the console's close.
bool readConsole(DWORD pid, std::vector<std::string>& rows, int& cursorRow) {
    if (!AttachConsole(pid)) return false;
    kestrup::UniqueFileHandle screen(CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                                 nullptr));
    CONSOLE_SCREEN_BUFFER_INFO info{};
    const bool ok = screen && GetConsoleScreenBufferInfo(screen.get(), &info);
    rows.clear();
    if (ok) {
        cursorRow = info.dwCursorPosition.Y;
        std::string row(static_cast<std::size_t>(info.dwSize.X), ' ');
        for (SHORT y = 0; y <= info.dwCursorPosition.Y; ++y) {
            DWORD got = 0;
            ReadConsoleOutputCharacterA(screen.get(), row.data(), static_cast<DWORD>(row.size()), COORD{0, y}, &got);
            std::string text = row.substr(0, got);
            text.erase(text.find_last_not_of(' ') + 1);
            rows.push_back(text);
        }
    }
    screen.reset();  // before the console it belongs to goes
    FreeConsole();
    return ok;
}

int follow(const char* mainTitle, int ms, const char* closeAt) {
    const DWORD pid = processOf(mainTitle);
    if (pid == 0) {
        say("missing window " + std::string(mainTitle));
        return 2;
    }
    FreeConsole();
    const DWORD start = GetTickCount();
    auto elapsed = [start] { return static_cast<int>(GetTickCount() - start); };
    bool seen = false;
    std::size_t said = 0;
    std::vector<std::string> rows;
    while (elapsed() < ms) {
        int cursorRow = 0;
        if (readConsole(pid, rows, cursorRow)) {
            if (!seen) say("open " + std::to_string(elapsed()));
            seen = true;
            // The cursor's row may still be written to; the rows above it are done.
            for (; said < static_cast<std::size_t>(cursorRow) && said < rows.size(); ++said) {
                say("line " + rows[said]);
                if (closeAt != nullptr && rows[said].find(closeAt) != std::string::npos) {
                    PostMessageA(FindWindowA(nullptr, consoleTitle), WM_CLOSE, 0, 0);
                    say("closed " + rows[said]);
                    return 0;
                }
            }
        } else if (seen) {
            for (; said < rows.size(); ++said)
                if (!rows[said].empty()) say("line " + rows[said]);
            say("gone " + std::to_string(elapsed()));
            return 0;
        }
        Sleep(20);
    }
    say(seen ? "still open" : "no console");
    return 1;
}

int window(const char* title) {
    HWND found = FindWindowA(nullptr, title);
    if (found == nullptr) {
        say("missing window " + std::string(title));
        return 1;
    }
    WINDOWPLACEMENT placement{};
    placement.length = sizeof placement;
    GetWindowPlacement(found, &placement);
    say("showCmd " + std::to_string(placement.showCmd));
    say(std::string("foreground ") + (GetForegroundWindow() == found ? "1" : "0"));
    char foreground[256] = {};
    GetWindowTextA(GetForegroundWindow(), foreground, sizeof foreground);
    say(std::string("foreground-title ") + foreground);
    return 0;
}

int move(const char* title, int x, int y) {
    HWND found = FindWindowA(nullptr, title);
    if (found == nullptr) {
        say("missing window " + std::string(title));
        return 1;
    }
    SetWindowPos(found, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    out = GetStdHandle(STD_OUTPUT_HANDLE);
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "console" && argc > 3) return follow(argv[2], std::atoi(argv[3]), nullptr);
    if (command == "close-console" && argc > 4) return follow(argv[2], std::atoi(argv[4]), argv[3]);
    if (command == "window" && argc > 2) return window(argv[2]);
    if (command == "move" && argc > 4) return move(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
    say("usage: routine_driver console TITLE MS | close-console TITLE TEXT MS | window TITLE | move TITLE X Y");
    return 2;
}
