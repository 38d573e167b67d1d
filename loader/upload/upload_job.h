#pragma once
// One session with a chip: a complete upload (port, console, chip reset, the image file read once,
// its header read once, the loaders tried in turn, teardown), or only asking it who it is, with the
// pauses of the timing it was given. What happens is told as the load's events.

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/console.h"
#include "events/image_loader.h"
#include "image/image_file.h"
#include "rom/loader_protocol.h"
#include "rom/serial_link.h"
#include "rom/upload_timing.h"
#include "stage/board_probe.h"

namespace kestrup {

// Who answered on a port.
struct ChipIdentity {
    enum class Answer { chip, noChip, noPort };
    Answer answer = Answer::noPort;
    std::int32_t version = 0;  // 1 to 255 when a chip answered
    // What Kestrup's identify program told of the board, where it went and answered.
    std::optional<BoardDescribed> board;
};

class UploadJob {
public:
    // 8201 longs: a little more than the chip's 32 KB, as the image buffer always was.
    static constexpr std::size_t imageBufferLongs = 8201;
    static constexpr std::size_t imageBufferBytes = imageBufferLongs * 4;

    // The loaders are tried in this order until one takes the image; the last never gives way.
    UploadJob(SerialLink& link, LoaderProtocol& protocol, UploadConsole& console, LoadEvents& events, Clock& clock,
              UploadTiming timing, std::vector<ImageLoader*> loaders);

    // Reads the image file where the window program always did: once the chip has been reset.
    UploadOutcome run(const std::string& imagePath, const PortAddress& port);
    // An image read beforehand (at most imageBufferBytes of it), loaded from that very read.
    UploadOutcome run(const ImageFile& image, const PortAddress& port);
    // An upload that the image's checks stopped before it began: its verdict is told, and nothing
    // is opened or sent.
    UploadOutcome refuse();
    // Reset, handshake, shut the chip down again, with no console and none of the upload's other
    // pauses. The handshake tells the chip's version; a port that does not open, its failed open.
    // With a probe, the identify program describes the board between the handshake and the shutdown.
    ChipIdentity identify(const PortAddress& port);

    void setTarget(LoadTarget target) { target_ = target; }
    void setProbe(BoardProbe* probe) { probe_ = probe; }

    std::span<const std::uint32_t> imageBuffer() const { return image_; }

private:
    UploadOutcome session(const PortAddress& port, const std::function<const ImageFile&()>& readImage);
    bool openOrTell(const PortAddress& port);
    ChipIdentity askChip(const PortAddress& port);
    // The file's step's failed end, for a file that is missing or cannot be read.
    void tellUnread(const ImageFile& file);
    void pause(int milliseconds);
    // The verdict told, then the port and console closed.
    UploadOutcome finish(Verdict verdict);
    void teardown();
    // The first loader to take the image, with why those before it gave way.
    LoadResult load(const CheckedImage& image);
    // The path, and the end of an image the chip takes but will not start.
    Verdict judge(const LoadResult& result, std::uint16_t pbase);

    SerialLink& link_;
    LoaderProtocol& protocol_;
    UploadConsole& console_;
    LoadTeller told_;
    Clock& clock_;
    UploadTiming timing_;
    LoadTarget target_ = LoadTarget::ram;
    std::vector<ImageLoader*> loaders_;
    BoardProbe* probe_ = nullptr;
    // Kept across uploads: each one overwrites it from index 0.
    std::array<std::uint32_t, imageBufferLongs> image_{};
    // The last image read from its file: its storage serves upload after upload.
    ImageFile file_;
};

}  // namespace kestrup
