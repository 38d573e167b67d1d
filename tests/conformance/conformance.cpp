#include "conformance.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace kestrup::conformance {
namespace {

constexpr int answerMarginMs = 30;

std::uint32_t number(const std::string& word, int line) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(word.c_str(), &end, 0);
    if (word.empty() || *end != '\0')
        throw std::invalid_argument("line " + std::to_string(line) + ": not a number: " + word);
    return static_cast<std::uint32_t>(value);
}

Line lineOf(const std::string& text, int numberOfLine) {
    Line line{numberOfLine, {}, {}};
    std::istringstream words(text.substr(0, text.find('#')));
    bool answers = false;
    for (std::string word; words >> word;) {
        if (word == "->")
            answers = true;
        else
            (answers ? line.answers : line.words).push_back(word);
    }
    return line;
}

Transcript transcriptOf(const Line& line) {
    const auto& w = line.words;
    if (w.size() != 4 || (w[2] != "rom" && w[2] != "boot") || (w[3] != "ram" && w[3] != "eeprom"))
        throw std::invalid_argument("line " + std::to_string(line.number) + ": transcript NAME rom|boot ram|eeprom");
    return Transcript{w[1], w[2] == "boot", w[3] == "eeprom", {}};
}

void putLongs(std::vector<std::uint8_t>& bytes, std::span<const std::uint32_t> longs) {
    for (const std::uint32_t value : longs) putLong(bytes, value);
}

std::string described(const stage::Answer& a) {
    return std::string(1, a.code) + std::to_string(a.value) + "/" + std::to_string(a.packet);
}

}  // namespace

std::vector<Transcript> parse(const std::string& text) {
    std::vector<Transcript> transcripts;
    std::istringstream lines(text);
    int count = 0;
    for (std::string text_line; std::getline(lines, text_line);) {
        const Line line = lineOf(text_line, ++count);
        if (line.words.empty()) continue;
        if (line.words[0] == "transcript")
            transcripts.push_back(transcriptOf(line));
        else if (transcripts.empty())
            throw std::invalid_argument("line " + std::to_string(count) + ": before any transcript");
        else
            transcripts.back().lines.push_back(line);
    }
    return transcripts;
}

std::vector<std::uint32_t> imageOf(std::uint32_t longs, bool sumOff, std::uint16_t pbase) {
    const std::uint32_t vbase = 4 * longs, dbase = vbase + 8;
    std::vector<std::uint32_t> image{12'000'000, std::uint32_t{pbase} << 16, vbase | dbase << 16,
                                     (pbase + 8u) | (dbase + 4u) << 16};
    for (std::uint32_t i = 4; i < longs; ++i) {
        const std::uint32_t a = i & 0xFF, b = i >> 8;
        image.push_back(a | ((0x100 - a) & 0xFF) << 8 | b << 16 | ((0x100 - b) & 0xFF) << 24);
    }
    // The ROM's rule: the 32 KB with the two stack markers sum to 0 mod 256.
    unsigned sum = 0;
    for (const std::uint32_t value : image)
        for (int shift = 0; shift < 32; shift += 8) sum += value >> shift & 0xFF;
    for (int shift = 0; shift < 32; shift += 8) sum += 2 * (stage::stackMarker >> shift & 0xFF);
    image[1] |= ((0x100 - sum % 0x100 + (sumOff ? 1 : 0)) & 0xFF) << 8;
    return image;
}

std::uint32_t ramCrc(std::span<const std::uint32_t> image) {
    std::vector<std::uint32_t> ram(stage::ramBytes / 4, 0);
    std::copy(image.begin(), image.end(), ram.begin());
    const std::uint32_t dbase = image[2] >> 16;
    for (const std::uint32_t at : {dbase - 8, dbase - 4})
        if (at < stage::ramBytes) ram[at / 4] = stage::stackMarker;
    std::vector<std::uint8_t> bytes;
    putLongs(bytes, ram);
    return stage::crc32(bytes);
}

namespace {

// A line's words after its keyword, read in order.
class Words {
public:
    Words(const Line& line, std::string where) : line_(line), where_(std::move(where)) {}
    bool more() const { return at_ < line_.words.size(); }
    bool nextIsNumber() const { return more() && std::isdigit(static_cast<unsigned char>(line_.words[at_][0])); }
    std::string next() {
        if (!more()) fail(line_.words[0] + " needs more");
        return line_.words[at_++];
    }
    std::uint32_t value() { return number(next(), line_.number); }
    [[noreturn]] void fail(const std::string& why) const { throw std::invalid_argument(where_ + why); }

private:
    const Line& line_;
    std::string where_;
    std::size_t at_ = 1;
};

// What a send line changes of its message: data it carries, the packet its trailer names, its data
// cut short, and its bytes as they go (the length byte, a byte flipped or lost), in order.
struct Changes {
    std::uint32_t data = 0;
    std::optional<std::uint32_t> trailerPacket, cutTo;
    std::vector<std::pair<std::string, std::uint32_t>> toBytes;

    void add(const std::string& name, std::uint32_t value, const std::string& where) {
        if (name == "data")
            data = value;
        else if (name == "trailer")
            trailerPacket = value;
        else if (name == "longs")
            cutTo = value;
        else if (name == "length" || name == "flip" || name == "drop")
            toBytes.emplace_back(name, value);
        else
            throw std::invalid_argument(where + "no change " + name);
    }
    std::vector<std::uint8_t> applied(std::vector<std::uint8_t> bytes) const {
        for (const auto& [name, value] : toBytes) {
            if (name == "length") bytes.at(1) = static_cast<std::uint8_t>(value);
            if (name == "flip") bytes.at(value) ^= 0x10;
            if (name == "drop")
                bytes.erase(bytes.begin() +
                            static_cast<std::ptrdiff_t>(std::min<std::size_t>(value, bytes.size() - 1)));
        }
        return bytes;
    }
};

class Player {
public:
    Player(const Transcript& transcript, StageEnd& end) : transcript_(transcript), end_(end) {}

    Outcome run() {
        if (!end_.start(transcript_)) {
            outcome_.failures.push_back(transcript_.name + ": the stage did not start");
            return outcome_;
        }
        if (transcript_.bootStarted) baud_ = boot::loadBaud(chipHz);
        for (const Line& line : transcript_.lines) {
            try {
                step(line);
            } catch (const std::invalid_argument& error) {
                outcome_.failures.push_back(error.what());
                break;
            }
        }
        return std::move(outcome_);
    }

private:
    void step(const Line& line) {
        const std::string& what = line.words[0];
        if (what == "image") return setImage(line);
        if (what == "line") {
            baud_ = static_cast<int>(word(line, 1));
            stopBits_ = line.words.size() > 2 ? static_cast<int>(word(line, 2)) : 2;
            return end_.setLine(baud_, stopBits_);
        }
        if (what == "send") return send(line);
        if (what == "wait") return check(line, end_.collect(line.answers.size() / 2, static_cast<int>(word(line, 1))));
        if (what == "end") return ended(line);
        throw std::invalid_argument(where(line) + "what is " + what + "?");
    }

    void setImage(const Line& line) {
        std::uint16_t pbase = stage::startPbase;
        bool sumOff = false;
        for (std::size_t i = 2; i < line.words.size(); ++i) {
            if (line.words[i] == "sum-off")
                sumOff = true;
            else if (line.words[i] == "pbase" && i + 1 < line.words.size())
                pbase = static_cast<std::uint16_t>(word(line, ++i));
            else
                throw std::invalid_argument(where(line) + "image LONGS [sum-off] [pbase N]");
        }
        image_ = imageOf(word(line, 1), sumOff, pbase);
        crcBefore_.assign(1, stage::crcStart);
        for (std::size_t at = 0; at + stage::packetLongs < image_.size(); at += stage::packetLongs)
            crcBefore_.push_back(stage::crcAfter(crcBefore_.back(), packetData(at / stage::packetLongs)));
    }

    std::span<const std::uint32_t> packetData(std::size_t k) const {
        const std::size_t from = k * stage::packetLongs;
        if (from >= image_.size()) throw std::invalid_argument("no packet " + std::to_string(k) + " in the image");
        return std::span(image_).subspan(from, std::min(stage::packetLongs, image_.size() - from));
    }

    void send(const Line& line) {
        const auto bytes = message(line);
        end_.send(bytes);
        const int lineMs = static_cast<int>(bytes.size() * static_cast<std::size_t>(9 + stopBits_) * 1000 /
                                            static_cast<std::size_t>(baud_)) +
                           1;
        check(line, end_.collect(line.answers.size() / 2, 2 * lineMs + answerMarginMs));
    }

    // The message's own words, then its changes in pairs.
    std::vector<std::uint8_t> message(const Line& line) const {
        Words words(line, where(line));
        const std::string kind = words.next();
        if (kind == "filler") return std::vector<std::uint8_t>(words.value(), 0xFF);
        if (kind == "raw") {
            std::vector<std::uint8_t> bytes;
            while (words.more()) bytes.push_back(static_cast<std::uint8_t>(std::stoul(words.next(), nullptr, 16)));
            return bytes;
        }
        std::optional<std::uint32_t> packet;
        const std::uint32_t trailer = kind == "packet" ? 0 : trailerOf(kind, words);
        if (kind == "packet") packet = words.value();
        Changes changes;
        while (words.more()) {
            const std::string name = words.next();
            changes.add(name, words.value(), where(line));
        }
        // A message with data goes on from the image's CRC over the packets the stage holds.
        std::vector<std::uint32_t> data(changes.data, 0x55555555);
        std::uint32_t crcBefore = crcBefore_.at(std::min<std::size_t>(held_, crcBefore_.size() - 1));
        if (!packet) {
            auto bytes = kind == "hello" && data.empty() ? stage::helloFrame() : stage::frame(data, trailer, crcBefore);
            return changes.applied(std::move(bytes));
        }
        const auto longs = packetData(*packet);
        data.assign(longs.begin(),
                    longs.begin() + std::min<std::size_t>(changes.cutTo.value_or(longs.size()), longs.size()));
        const auto named = changes.trailerPacket.value_or(*packet);
        return changes.applied(stage::frame(data, stage::dataTrailer(named, static_cast<std::uint32_t>(image_.size())),
                                            crcBefore_.at(*packet)));
    }

    static std::uint32_t trailerOf(const std::string& kind, Words& words) {
        if (kind == "hello") return stage::helloTrailer;
        if (kind == "query") return stage::queryTrailer();
        if (kind == "stop") return stage::stopTrailer();
        if (kind == "go") return stage::goTrailer(words.value());
        if (kind == "rate") return stage::rateTrailer(words.value());
        if (kind == "clock") {
            const auto mode = static_cast<std::uint8_t>(words.value());
            return stage::clockTrailer(mode, words.value());
        }
        if (kind == "code") return static_cast<std::uint8_t>(words.next().at(0));
        if (kind != "begin") words.fail("no message " + kind);
        const std::uint32_t longs = words.value();
        return stage::beginTrailer(longs, static_cast<std::uint8_t>(words.nextIsNumber() ? words.value() : 0));
    }

    void check(const Line& line, const std::vector<stage::Answer>& got) {
        std::string text;
        for (const auto& a : got) {
            text += " " + described(a);
            if (a.code == stage::answer::accepted) held_ = a.value;
            if (a.code == stage::answer::begun) held_ = 0;
        }
        outcome_.log.push_back(where(line) + join(line.words) + " ->" + text);
        const std::size_t expected = line.answers.size() / 2;
        bool same = got.size() == expected && line.answers.size() % 2 == 0;
        for (std::size_t i = 0; same && i < expected; ++i)
            same = matches(line, line.answers[2 * i], line.answers[2 * i + 1], got[i]);
        if (!same)
            outcome_.failures.push_back(where(line) + "expected " + join(line.answers) + ", got" +
                                        (text.empty() ? " nothing" : text));
    }

    bool matches(const Line& line, const std::string& code, const std::string& valueAndPacket,
                 const stage::Answer& a) const {
        const auto slash = valueAndPacket.find('/');
        const std::string value = valueAndPacket.substr(0, slash);
        const std::uint32_t packet =
            slash == std::string::npos ? 0 : number(valueAndPacket.substr(slash + 1), line.number);
        if (code.size() != 1 || a.code != code[0] || a.packet != packet) return false;
        if (value == "*") return true;
        if (value == "crc") return a.value == ramCrc(image_);
        const auto tilde = value.find('~');
        if (tilde == std::string::npos) return a.value == number(value, line.number);
        const auto centre = static_cast<std::int64_t>(number(value.substr(0, tilde), line.number));
        return std::llabs(static_cast<std::int64_t>(a.value) - centre) <= number(value.substr(tilde + 1), line.number);
    }

    void ended(const Line& line) {
        const std::string& want = line.words.at(1);
        const auto was = end_.state(goWindowMs);
        if (!was) return outcome_.log.push_back(where(line) + "end: " + want + ", for the rig's events to tell");
        outcome_.log.push_back(where(line) + "end: " + *was);
        if (*was != want) outcome_.failures.push_back(where(line) + "expected the chip " + want + ", it is " + *was);
    }

    std::uint32_t word(const Line& line, std::size_t i) const {
        if (i >= line.words.size()) throw std::invalid_argument(where(line) + line.words[0] + " needs more");
        return number(line.words[i], line.number);
    }
    std::string where(const Line& line) const {
        return transcript_.name + " line " + std::to_string(line.number) + ": ";
    }
    static std::string join(const std::vector<std::string>& words) {
        std::string text;
        for (const auto& w : words) text += (text.empty() ? "" : " ") + w;
        return text;
    }

    // Go's delay is at most a few tens of milliseconds in a transcript.
    static constexpr int goWindowMs = 200;

    const Transcript& transcript_;
    StageEnd& end_;
    Outcome outcome_;
    int baud_ = stage::contactBaud;
    int stopBits_ = 2;
    std::vector<std::uint32_t> image_;
    std::vector<std::uint32_t> crcBefore_{stage::crcStart};
    std::uint32_t held_ = 0;  // packets the stage has accepted, by its last 'A'
};

}  // namespace

Outcome play(const Transcript& transcript, StageEnd& end) {
    return Player(transcript, end).run();
}

}  // namespace kestrup::conformance
