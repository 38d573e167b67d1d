#pragma once
// What a load tells as it goes, as one stream of typed events: its steps, the chip's version, the
// link's faults, its progress, the path it took, its verdict and its end. The status lines, the
// progress bar, the path line and the report are each a view of it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "port/serial_port.h"

namespace kestrup {

enum class UploadOutcome {
    loaded,           // the chip acknowledged the checksum ("..OK -> RUN")
    portNotOpened,    // the "No COM" message, nothing else happened
    fileMissing,      // "No such file"
    noChip,           // "Code Error -> Abort" as well, but no chip gave its version: nothing answered
    headerRejected,   // "Code Error -> Abort": a chip answered, the image is shorter than its header says
    notAcknowledged,  // "CheckSum Error": rejected checksum or no answer
    eepromFailed,     // the EEPROM was not programmed or did not verify
    notStarted,       // the chip took the image ("..OK -> RUN") but shut down: its pbase is not 0x0010
    fileUnreadable,   // the file opened, a read of it failed: "Unable to read the file: " and why
    imageRefused,     // the image's checks stopped the upload before it began: nothing shown, nothing sent
};

// Where the image goes: RAM (what the window program does), or the EEPROM, then run or shut down.
enum class LoadTarget { ram, eepromRun, eepromShutdown };

// The report's stages. The handshake's step takes in the reading of the image file and the reset
// before it; a file that is missing or cannot be read ends it as the file's.
enum class Step { open, file, handshake, header, load, verify, eepromProgram, eepromVerify };

// Times are the load's clock's, in microseconds.
struct Begun {
    Step step;
    std::int64_t micros;
};
struct Ended {
    Step step;
    bool ok;
    std::int64_t micros;
    // At a failed open's end: why the port did not open, in the system's words where it gave some.
    std::optional<PortOpen> notOpened = std::nullopt;
    // At the file's failed end, for a file that opened: why a read of it failed, in the system's words.
    std::optional<std::string> unreadable = std::nullopt;
};
// The load step's beginning: the length the chip is told, and where the image goes.
struct Loading {
    std::int32_t bytes;
    LoadTarget target;
    std::int64_t micros;
};
// The version bits as they came: 0 or less when they did not.
struct ChipVersion {
    std::int32_t version;
};
enum class LinkFault { timeOut, hardwareLost, unableToWrite, transmitStall, unableToRead };
// Bytes of the image on their way, of all.
struct Progress {
    std::size_t sent;
    std::size_t total;
};
// The EEPROM's pages written and read back, of all, as the second stage tells them; or the page
// that failed, which ends the programming.
enum class PageFailure { none, notAcknowledged, readBackWrong };
struct EepromPages {
    std::size_t done;
    std::size_t total;
    PageFailure failure = PageFailure::none;
    std::size_t failedPage = 0;
};
// Why the second stage gave way to the ROM's own load.
enum class GaveWay {
    none,
    notStageImage,       // an image the ROM tells what is wrong with
    imageTooLarge,       // above the stage's mailbox
    stackMarkersBelow,   // dbase - 8 below vbase, or dbase above RAM
    imageTooSmall,       // the ROM alone brings it in sooner
    portRefusesRomBaud,  // the ROM's rate in the stage's path (StageLoader::romBaud, in its words)
    noChip,
    romRefusedPilot,
    romRefusedStage,
    bootstrapSilent,
    bootstrapFailed,
    stageSilent,
    stageFailed,
};

// Its words in the path line, "ROM path (why)", byte for byte as users and scripts know them.
constexpr std::string_view textOf(GaveWay why) {
    switch (why) {
        case GaveWay::none:
            return "";
        case GaveWay::notStageImage:
            return "not an image the second stage takes";
        case GaveWay::imageTooLarge:
            return "image too large for the second stage";
        case GaveWay::stackMarkersBelow:
            return "stack markers not above the image";
        case GaveWay::imageTooSmall:
            return "image too small for the second stage to pay";
        case GaveWay::portRefusesRomBaud:
            return "the port refuses 230400 baud";
        case GaveWay::noChip:
            return "no chip answered";
        case GaveWay::romRefusedPilot:
            return "the ROM did not take the pilot";
        case GaveWay::romRefusedStage:
            return "the ROM did not take the second stage";
        case GaveWay::bootstrapSilent:
            return "bootstrap did not answer";
        case GaveWay::bootstrapFailed:
            return "bootstrap did not take the second stage";
        case GaveWay::stageSilent:
            return "second stage did not answer";
        case GaveWay::stageFailed:
            return "second stage failed";
    }
    return "";
}

// Which loader took the image, told only where another could have.
// What the second stage made of the image's crystal, where the image runs on its PLL.
enum class CrystalUse {
    none,    // the image came on the RC clock, as any other
    pll,     // the stage moved the chip to the image's clock mode for the image
    silent,  // the chip fell silent there: the image came on the RC clock after one more reset
};
struct PathTaken {
    bool stage = false;               // the second stage; else the ROM's own load
    int baud = 0;                     // the stage's rate for the image
    GaveWay gaveWay = GaveWay::none;  // why the loader before gave way
    CrystalUse crystal = CrystalUse::none;
};
struct Verdict {
    UploadOutcome outcome;
    std::uint16_t pbase = 0;  // the image's, for one the chip will not start
};
struct Finished {
    std::int64_t micros;
};

// The EEPROM as the identify program found it, by where its first bytes come again (a part wraps
// its address at its size), never by writing to it.
enum class EepromFound {
    none,        // nothing acknowledged its address
    notTold,     // its first bytes come again every 8 KB: a part of 8 KB or less, or contents that repeat
    kb16,        // they come again at 16 KB, not at 8 KB
    kb32,        // at 32 KB, not at 16 KB
    kb64OrMore,  // not at 32 KB: a part that reaches further
};

// What the identify program told of the board behind `port`: told as soon as it is known, before
// the chip is left as identify leaves it.
struct BoardDescribed {
    std::string port;
    std::int64_t rcHz = 0;
    std::optional<std::int64_t> crystalHz;  // none: no crystal ran
    EepromFound eeprom = EepromFound::none;
    std::vector<int> rates;  // the rates the host set its port to, in order, each once
};

using LoadEvent = std::variant<Begun, Ended, Loading, ChipVersion, LinkFault, Progress, EepromPages, PathTaken, Verdict,
                               Finished, BoardDescribed>;

inline bool isOpenFailure(const LoadEvent& event) {
    const auto* ended = std::get_if<Ended>(&event);
    return ended && ended->step == Step::open && !ended->ok;
}

class LoadEvents {
public:
    virtual ~LoadEvents() = default;
    virtual void on(const LoadEvent& event) = 0;
};

// Several views of one stream, each told every event in turn.
class EventFan final : public LoadEvents {
public:
    explicit EventFan(std::vector<LoadEvents*> views) : views_(std::move(views)) {}
    void on(const LoadEvent& event) override {
        for (LoadEvents* view : views_) view->on(event);
    }

private:
    std::vector<LoadEvents*> views_;
};

// Events that pass on unless held back: a loader that may still give way holds its own, so that
// the next one's show as if it had never been tried. Progress always passes: the bar tells what
// is on the line, whichever loader put it there, and what the chip has done with it.
class EventGate final : public LoadEvents {
public:
    explicit EventGate(LoadEvents& events) : events_(events) {}
    void on(const LoadEvent& event) override {
        if (open_ || std::holds_alternative<Progress>(event) || std::holds_alternative<EepromPages>(event))
            events_.on(event);
    }
    void setOpen(bool open) { open_ = open; }

private:
    LoadEvents& events_;
    bool open_ = true;
};

}  // namespace kestrup
