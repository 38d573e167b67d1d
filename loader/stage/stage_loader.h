#pragma once
// The upload's fast loader: the boot ROM loads Kestrup's bootstrap (bootstrap.h), which takes
// Kestrup's second stage (second_stage.h) at the chip's own rate, which takes the image at the
// fastest rate the chip's clock holds. A port that will not make the bootstrap's rate has the ROM
// load the stage itself. The load's events are held until the stage holds the whole image, so that
// a stage that gives way before then leaves them telling the next loader's load alone.

#include <cstdint>
#include <span>
#include <variant>

#include "base/clock.h"
#include "base/status_sink.h"
#include "events/image_loader.h"
#include "port/loader_line.h"
#include "port/serial_port.h"
#include "rom/rom_loader.h"
#include "stage/second_stage.h"

namespace kestrup {

// The ROM's handshake and its load of these longs, at StageLoader::romBaud and, where no chip
// answered there, at slowRomBaud; the line left at the rate of the last try, with one stop bit.
RomLoader::Boot bootRom(RomLoader& rom, LoaderLine& line, std::span<const std::uint32_t> longs);

class StageLoader final : public ImageLoader {
public:
    // The bootstrap (or the stage) listens 35 to 55 ms after the ROM has acknowledged it: hellos for
    // 70 ms find the slowest chip, and the last one's answer is awaited 40 ms more. That quiet also stands for a
    // reset where the line carries none: a simulated board on a pseudo-terminal takes 60 ms of
    // quiet before a handshake as one, and the lean reset adds 25 ms.
    static constexpr int helloWindowMs = 70;
    static constexpr int lastHelloMs = 40;
    // The ROM follows the host's bit time: the handshake and the stage go at 230400 baud, three
    // bits a byte, which the chip's logic takes at 8 MHz too (dense bytes at that rate it did not
    // take there). Half the time of 115200 baud, dense.
    static constexpr int romBaud = 230400;
    // An RC clock below about 7.6 MHz does not take the handshake at romBaud, three bits a byte, and
    // takes it at half the rate: the ROM's phase then costs tens of milliseconds more, where the
    // ROM's own load of the image would cost seconds.
    static constexpr int slowRomBaud = 115200;

    // `rom` loads the stage on `port`, the port its link drives; the stage is weighed against
    // rom's own load of the image. `imageBaud` is the rate the image talks at to a terminal that
    // takes the line after the load, which the port is set to before the stage starts it. `events`
    // is the gate the rom's load tells through too.
    StageLoader(RomLoader& rom, SerialPort& port, EventGate& events, Clock& clock,
                std::optional<int> imageBaud = std::nullopt);

    LoadResult load(const CheckedImage& image, LoadTarget target) override;

    // Whether the stage brings these longs in sooner than the ROM alone would.
    bool pays(std::span<const std::uint32_t> longs, LoadTarget target) const;

private:
    // `crystal`: the image's crystal and PLL for the image where it has them.
    LoadResult tryStage(const CheckedImage& image, LoadTarget target, bool crystal);
    // The bootstrap carries the stage: where the stage's first hellos go, or why it gave way.
    std::variant<StageContact, GaveWay> carryStage(LoaderLine& line, std::span<const std::uint32_t> stageLongs);
    // The image through the stage the ROM (`version`) or the bootstrap started; nothing when the
    // chip fell silent on its crystal.
    std::optional<LoadResult> throughStage(LoaderLine& line, const StageImage& image, LoadTarget target,
                                           std::int32_t version, StageContact contact);
    // The line back at the ROM's rate for the loader after this one.
    LoadResult giveWay(LoaderLine& line, GaveWay why);
    // What the upload makes of the stage's end, once the stage holds the image.
    static UploadOutcome outcomeOf(StageOutcome outcome);

    class Quiet final : public StatusSink {
        void statusLine(std::string_view) override {}
    };

    RomLoader& rom_;
    SerialPort& port_;
    EventGate& events_;
    LoadTeller steps_;
    Clock& clock_;
    // The stage's own account of its work, which the upload does not show.
    Quiet quiet_;
    SecondStage stage_;
};

}  // namespace kestrup
