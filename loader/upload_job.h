#pragma once
// One session with a chip: a complete upload (port, console, chip reset, image file, handshake,
// header check, image load, teardown), or only asking it who it is, with the pauses of the timing
// it was given.

#include <array>
#include <cstdint>
#include <string>

#include "clock.h"
#include "loader_protocol.h"
#include "serial_link.h"
#include "upload_console.h"
#include "upload_timing.h"

namespace kestrup {

class StagePath;

enum class UploadOutcome {
    loaded,           // the chip acknowledged the checksum ("..OK -> RUN")
    portNotOpened,    // the "No COM" message, nothing else happened
    fileMissing,      // "No such file"
    noChip,           // "Code Error -> Abort" as well, but no chip gave its version: nothing answered
    headerRejected,   // "Code Error -> Abort": a chip answered, the image is shorter than its header says
    notAcknowledged,  // "CheckSum Error": rejected checksum or no answer
    eepromFailed,     // the EEPROM was not programmed or did not verify
    notStarted,       // the chip took the image ("..OK -> RUN") but shut down: its pbase is not 0x0010
};

// Who answered on a port.
struct ChipIdentity {
    enum class Answer { chip, noChip, noPort };
    Answer answer = Answer::noPort;
    std::int32_t version = 0;  // 1 to 255 when a chip answered
};

// Where the image goes: RAM (what the window program does), or the EEPROM, then run or shut down.
enum class LoadTarget { ram, eepromRun, eepromShutdown };

class UploadJob {
public:
    // 8201 longs: a little more than the chip's 32 KB, as the image buffer always was.
    static constexpr std::size_t imageBufferLongs = 8201;

    UploadJob(SerialLink& link, LoaderProtocol& protocol, UploadConsole& console, Notifier& notifier, Clock& clock,
              UploadTiming timing);

    UploadOutcome run(const std::string& imagePath, const PortAddress& port);
    // Reset, handshake, shut the chip down again, with no console and none of the upload's other
    // pauses. The handshake shows the version line; a port that does not open gets the "No COM" message.
    ChipIdentity identify(const PortAddress& port);

    void setTarget(LoadTarget target) { target_ = target; }
    // Uploads try this path first and fall back to the ROM's own load; the line saying which path
    // each took goes to pathLine.
    void useStagePath(StagePath& path, StatusSink& pathLine) {
        stagePath_ = &path;
        pathLine_ = &pathLine;
    }
    // Without the stage's path: where the line telling why the chip does not start an image goes.
    void setPathLine(StatusSink& pathLine) { pathLine_ = &pathLine; }

    std::span<const std::uint32_t> imageBuffer() const { return image_; }

private:
    bool openOrTell(const PortAddress& port);
    void shutDownChip();
    void pause(int milliseconds);
    void teardown();
    // The path line, and the end of an image the chip takes but will not start.
    UploadOutcome finish(UploadOutcome outcome, const std::string& path);

    SerialLink& link_;
    LoaderProtocol& protocol_;
    UploadConsole& console_;
    Notifier& notifier_;
    Clock& clock_;
    UploadTiming timing_;
    LoadTarget target_ = LoadTarget::ram;
    StagePath* stagePath_ = nullptr;
    StatusSink* pathLine_ = nullptr;
    // Kept across uploads: each one overwrites it from index 0.
    std::array<std::uint32_t, imageBufferLongs> image_{};
};

}  // namespace kestrup
