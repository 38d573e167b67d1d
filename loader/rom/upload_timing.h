#pragma once
// How long an upload waits at each of its steps, chosen by whoever assembles a board: the window
// program's pauses, or the command line's lean ones. Every figure and the reason for it is here.
//
// What the chip's logic needs (found in the rig tools/p1rtl, the same in chip clocks at 8, 12 and
// 20 MHz): after reset its ROM loads the boot loader into cog 0 and listens on the line from about
// 8,200 clocks on (a first byte 8,192 clocks after the release was misread, one at 8,240 taken),
// 1.2 ms on a slow chip (7 MHz); it gives up unless the 250 handshake bits are in by about 3.01 M
// clocks after the reset (150 ms on a fast, 20 MHz chip). The 251 handshake bytes take 24 ms. Any
// pulse resets it. A board that resets on the line's level starts when the line is released; one
// with a capacitor in the reset line starts as the line is asserted, so there the pulse counts as
// waiting too.

namespace kestrup {

// The reset: the line asserted for pulseMs, released, then waitMs before the first byte.
struct ResetPulse {
    int pulseMs;
    int waitMs;
};

// How reply bits are awaited: each poll takes what has arrived and then pauses pollPauseMicros; a
// poll that sends a clock byte first pauses clockPauseMicros after it.
struct ReplyPolling {
    int clockPauseMicros;
    int pollPauseMicros;
};

struct UploadTiming {
    int consoleSettleMs;      // after the console opens, before anything else
    bool resetBeforeReading;  // one more reset as the upload starts, before the image file is read
    ResetPulse reset;
    ReplyPolling polling;
    int teardownMs;  // after the last exchange, before the port closes

    // The window program's pauses, but for the wait after each reset: 50 ms puts the 250th
    // handshake bit 98 ms after a capacitor-coupled reset starts the chip (1.97 M clocks at 20 MHz,
    // where it listens 3.01 M; a chip would have to run at 30 MHz to miss), where 100 ms put it
    // 1.7 ms inside; and it is still 40 times the 1.2 ms a slow chip needs after a level reset.
    static constexpr UploadTiming window() { return {200, true, {25, 50}, {25'000, 10'000}, 1500}; }

    // The command line's: one reset just before the handshake, nothing before or after it. The
    // 15 ms wait is 12 times what a 7 MHz chip needs after a level reset; with a capacitor-coupled
    // reset the 250th bit comes 10 + 15 + 24 = 49 ms after the chip started, a third of a 20 MHz
    // chip's window. Replies are polled every millisecond and the acknowledgement clocked every
    // 1.1 ms: the chip answers the second clock after its sum, and starts the program a fixed
    // 400,000 clocks after its answer, so every clock's wait comes into the load's time (2 to 4 ms
    // where the clock came every 2 ms). A clock is 48 us of the line at 230400 baud; a poll more
    // often than every millisecond would take the processor from a simulated chip on a busy
    // machine. The port closes as
    // soon as the chip has answered, with the reset line already released: closing drops the modem
    // lines (Windows; Linux with HUPCL), which starts no reset.
    static constexpr UploadTiming lean() { return {0, false, {10, 15}, {100, 1000}, 0}; }

    // The window program's FastLoad: the lean timing, but the upload console, which comes and goes
    // with the upload, keeps the window program's time: to settle before the first line, and 1.5 s
    // before it goes, so that its lines can be read.
    static constexpr UploadTiming leanOnConsole() {
        UploadTiming timing = lean();
        timing.consoleSettleMs = window().consoleSettleMs;
        timing.teardownMs = window().teardownMs;
        return timing;
    }
};

}  // namespace kestrup
