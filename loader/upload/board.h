#pragma once
// One board behind one port, and everything that talks to it: the serial port (with its trace, when
// asked), the load's events as the loaders share them, the link, the protocol, the loaders and the
// upload job, assembled here and nowhere else.

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "base/clock.h"
#include "base/console.h"
#include "port/serial_port.h"
#include "port/tracing_port.h"
#include "rom/loader_protocol.h"
#include "rom/rom_loader.h"
#include "rom/serial_link.h"
#include "stage/board_probe.h"
#include "stage/stage_loader.h"
#include "upload/upload_job.h"

namespace kestrup {

// How the command line drives a board; the window program keeps the defaults.
struct BoardOptions {
    ResetLine reset = ResetLine::dtr;
    LongEncoding encoding = LongEncoding::fixed;
    UploadTiming timing = UploadTiming::window();
    // Every byte is written down here when set (kept open by the caller), each line led by the label.
    std::FILE* trace = nullptr;
    std::string traceLabel;
    // Uploads go through the second stage when it pays, and through the ROM alone when it does
    // not or the stage does not answer; the path each took is told.
    bool secondStage = false;
    // The rate the image talks at when a terminal takes the line after the load: the second stage
    // sets the port to it before it starts the image. None: the port closes after the load.
    std::optional<int> imageBaud;
    // The ROM's handshake: a byte a bit as the window program always sent it, or three a byte (a
    // third of the line time) on the lean path. The ROM's load of the second stage takes three.
    HandshakeBits handshake = HandshakeBits::onePerByte;
};

class Board {
public:
    // On a serial port of this platform's own kind. The console comes and goes with each upload;
    // what happens is told to `events`.
    Board(PortAddress address, Clock& clock, UploadConsole& console, LoadEvents& events, BoardOptions options = {});
    // On the given port: a guarded one, or a test's.
    Board(PortAddress address, std::unique_ptr<SerialPort> port, Clock& clock, UploadConsole& console,
          LoadEvents& events, BoardOptions options = {});
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    ChipIdentity identify() { return job_.identify(address_); }
    // The image file read as the window program reads it, once the chip has been reset.
    UploadOutcome upload(const std::string& imagePath, LoadTarget target = LoadTarget::ram);
    // An image read beforehand, loaded from that read.
    UploadOutcome upload(const ImageFile& image, LoadTarget target = LoadTarget::ram);
    // The image's checks refused it: only that is told.
    UploadOutcome refuse() { return job_.refuse(); }

    const PortAddress& address() const { return address_; }

private:
    SerialPort& wire() { return trace_ ? static_cast<SerialPort&>(*trace_) : *port_; }

    PortAddress address_;
    std::unique_ptr<SerialPort> port_;
    std::unique_ptr<TracingPort> trace_;
    EventGate events_;
    SerialLink link_;
    LoaderProtocol protocol_;
    RomLoader rom_;
    std::unique_ptr<StageLoader> stage_;
    // The identify program describes the board on the stage's path.
    std::unique_ptr<BoardProbe> probe_;
    UploadJob job_;
};

}  // namespace kestrup
