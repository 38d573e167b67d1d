#include "upload/board.h"

namespace kestrup {

Board::Board(PortAddress address, Clock& clock, UploadConsole& console, LoadEvents& events, BoardOptions options)
    : Board(std::move(address), makeSystemSerialPort(), clock, console, events, std::move(options)) {}

Board::Board(PortAddress address, std::unique_ptr<SerialPort> port, Clock& clock, UploadConsole& console,
             LoadEvents& events, BoardOptions options)
    : address_(std::move(address)),
      port_(std::move(port)),
      trace_(options.trace ? std::make_unique<TracingPort>(*port_, clock, options.trace, options.traceLabel) : nullptr),
      events_(events),
      link_(wire(), clock, events_),
      protocol_(link_, events_),
      rom_(link_, protocol_, options.timing.reset, options.encoding, options.handshake),
      stage_(options.secondStage ? std::make_unique<StageLoader>(rom_, wire(), events_, clock, options.imageBaud)
                                 : nullptr),
      probe_(options.secondStage ? std::make_unique<BoardProbe>(link_, protocol_, rom_, wire(), events_, clock)
                                 : nullptr),
      job_(link_, protocol_, console, events_, clock, options.timing,
           stage_ ? std::vector<ImageLoader*>{stage_.get(), &rom_} : std::vector<ImageLoader*>{&rom_}) {
    link_.setResetLine(options.reset);
    link_.setPolling(options.timing.polling);
    job_.setProbe(probe_.get());
}

UploadOutcome Board::upload(const std::string& imagePath, LoadTarget target) {
    job_.setTarget(target);
    return job_.run(imagePath, address_);
}

UploadOutcome Board::upload(const ImageFile& image, LoadTarget target) {
    job_.setTarget(target);
    return job_.run(image, address_);
}

}  // namespace kestrup
