#pragma once
// The upload's fast path: the boot ROM loads Kestrup's second stage (second_stage.h), which takes
// the image at the fastest rate the chip's clock holds. Nothing shows on the console until the
// stage holds the whole image, so that a path that fails before then gives way to the ROM's own
// load as if it had never been tried, and the console shows that load's lines alone.

#include <optional>
#include <span>
#include <string>

#include "clock.h"
#include "loader_protocol.h"
#include "second_stage.h"
#include "serial_link.h"
#include "serial_port.h"
#include "upload_job.h"
#include "upload_timing.h"

namespace kestrup {

class StagePath {
public:
    // The stage listens 35 to 55 ms after the ROM has acknowledged it: hellos for 70 ms find the
    // slowest chip, and the last one's answer is awaited 40 ms more. That quiet also stands for a
    // reset where the line carries none: a simulated board on a pseudo-terminal takes 60 ms of
    // quiet before a handshake as one, and the lean reset adds 25 ms.
    static constexpr int helloWindowMs = 70;
    static constexpr int lastHelloMs = 40;
    // The ROM follows the host's bit time: the handshake and the stage go at 230400 baud, three
    // bits a byte, which the chip's logic takes at 8 MHz too (dense bytes at that rate it did not
    // take there). Half the time of 115200 baud, dense.
    static constexpr int romBaud = 230400;

    // On the port the upload has opened, with the upload's reset and timing; `encoding` is the one
    // the ROM's own load of the image would take, against which the stage is weighed; `imageBaud`
    // the rate the image talks at, which the port is set to as the stage starts it.
    StagePath(SerialPort& port, Clock& clock, ResetLine reset, UploadTiming timing, LongEncoding encoding,
              int imageBaud = stage::contactBaud);

    struct Result {
        std::optional<UploadOutcome> outcome;  // nothing: the ROM's own load is to follow
        std::string path;                      // the path taken and why, for the path line
    };
    // The image as the upload read it: its longs, and the file's size.
    Result load(std::span<const std::uint32_t> image, std::size_t fileBytes, LoadTarget target, StatusSink& console);

    void setProgress(ProgressFn progress) { stage_.setProgress(std::move(progress)); }

    // Whether the stage brings these longs in sooner than the ROM alone would.
    bool pays(std::span<const std::uint32_t> longs, LoadTarget target) const;

private:
    class Quiet final : public StatusSink {
        void statusLine(std::string_view) override {}
    };

    Result romPath(std::string why, bool quietFirst);
    // What the upload makes of the stage's end, once the stage holds the image.
    static UploadOutcome outcomeOf(StageOutcome outcome);

    SerialPort& port_;
    Clock& clock_;
    UploadTiming timing_;
    LongEncoding encoding_;
    Quiet quiet_;
    // The stage's own load through the ROM, on a link of its own that shows nothing.
    SerialLink link_;
    LoaderProtocol protocol_;
    SecondStage stage_;
};

}  // namespace kestrup
