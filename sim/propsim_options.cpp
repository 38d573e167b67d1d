#include "propsim_options.h"

#include <charconv>
#include <functional>
#include <map>

namespace kestrup::sim {
namespace {

bool toInt(const std::string& text, long long low, long long high, long long& value) {
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc{} && ptr == end && value >= low && value <= high;
}

}  // namespace

std::string propsimUsage() {
    return "usage: propsim [options]\n"
           "A simulated Propeller boot loader on a pseudo-terminal. Prints the terminal's device path\n"
           "as its first line, then serves sessions until stopped. Once a session has ended, a new\n"
           "handshake after the reset silence starts the next, standing in for the DTR reset a pty\n"
           "cannot carry; in the middle of a session only the chip's own gap limit ends it.\n"
           "\n"
           "  --pace                 deliver bytes at 115200 baud 8N2, as a real line would\n"
           "  --sessions N           stop after N sessions (and --linger of quiet)\n"
           "  --transcript FILE      write each session there as it ends\n"
           "  --image-out FILE       write the image of the last load there\n"
           "  --version V            chip version to report (default 1)\n"
           "faults:\n"
           "  --silent               never answer\n"
           "  --wrong-bit N          send LFSR reply N (0..249) inverted\n"
           "  --missing-version-bit  never send the last version bit\n"
           "  --stray N              send N stray bytes before the first reply\n"
           "  --reject-checksum      answer 0xFF to every load\n"
           "  --no-ack               never answer after the data\n"
           "  --eeprom-program-fails answer 1 where the EEPROM should be programmed (commands 2, 3)\n"
           "  --eeprom-verify-fails  answer 1 where the EEPROM should verify (commands 2, 3)\n"
           "  --hangup WHERE         close the pty and leave, as an unplugged board: half way through\n"
           "                         the handshake, half way through the load, or as the verdict is\n"
           "                         due (handshake, load, ack)\n"
           "  --faulty-sessions N    the faults hit only the first N sessions (default: all)\n"
           "timing, in milliseconds:\n"
           "  --reset-silence MS     quiet before a handshake that starts a new session (default 60; 0: never)\n"
           "  --gap-limit MS         longest gap the chip waits in a session (default 166.7: 2 M clocks)\n"
           "  --listen-window MS     time for the whole handshake (default 250)\n"
           "  --checksum-time MS     summing the RAM (default 100)\n"
           "  --program-time MS      programming the EEPROM (default 2000)\n"
           "  --verify-time MS       verifying the EEPROM (default 800)\n"
           "  --linger MS            quiet after the last of --sessions before leaving (default 2000)\n"
           "  --help                 this text\n";
}

PropsimParse parsePropsimOptions(const std::vector<std::string>& args) {
    PropsimParse result;
    PropsimOptions& o = result.options;
    ChipFaults& f = o.chip.faults;
    ChipTiming& t = o.chip.timing;
    const auto ms = [](Micros& into) {
        return [&into](long long v) { into = v * 1000; };
    };
    struct Valued {
        long long low, high;
        std::function<void(long long)> set;
    };
    const std::map<std::string, Valued> valued = {
        {"--sessions", {1, 1'000'000, [&](long long v) { o.sessions = static_cast<int>(v); }}},
        {"--version", {0, 255, [&](long long v) { o.chip.version = static_cast<std::uint8_t>(v); }}},
        {"--wrong-bit", {0, handshakeBits - 1, [&](long long v) { f.wrongBit = static_cast<int>(v); }}},
        {"--stray", {0, 4096, [&](long long v) { f.strayBytes = static_cast<int>(v); }}},
        {"--faulty-sessions", {1, 1'000'000, [&](long long v) { o.chip.faultySessions = static_cast<int>(v); }}},
        {"--reset-silence", {0, 3'600'000, ms(t.resetSilence)}},
        {"--gap-limit", {1, 3'600'000, ms(t.gapLimit)}},
        {"--listen-window", {1, 3'600'000, ms(t.listenWindow)}},
        {"--checksum-time", {0, 3'600'000, ms(t.checksumTime)}},
        {"--program-time", {0, 3'600'000, ms(t.programTime)}},
        {"--verify-time", {0, 3'600'000, ms(t.verifyTime)}},
        {"--linger", {0, 3'600'000, ms(o.linger)}},
    };
    const std::map<std::string, bool*> flags = {
        {"--pace", &o.pace},
        {"--silent", &f.silent},
        {"--missing-version-bit", &f.missingVersionBit},
        {"--reject-checksum", &f.rejectChecksum},
        {"--no-ack", &f.noAcknowledge},
        {"--eeprom-program-fails", &f.programFails},
        {"--eeprom-verify-fails", &f.verifyFails},
        {"--help", &o.help},
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (const auto flag = flags.find(arg); flag != flags.end()) {
            *flag->second = true;
            continue;
        }
        const bool isText = arg == "--transcript" || arg == "--image-out" || arg == "--hangup";
        const auto value = valued.find(arg);
        if (!isText && value == valued.end()) {
            result.error = "unknown option " + arg;
            return result;
        }
        if (i + 1 >= args.size()) {
            result.error = arg + " needs a value";
            return result;
        }
        const std::string& text = args[++i];
        if (arg == "--hangup") {
            const std::map<std::string, Hangup> points = {
                {"handshake", Hangup::handshake}, {"load", Hangup::load}, {"ack", Hangup::acknowledgement}};
            const auto point = points.find(text);
            if (point == points.end()) {
                result.error = "--hangup takes handshake, load or ack, not " + text;
                return result;
            }
            o.hangup = point->second;
            continue;
        }
        if (isText) {
            (arg == "--transcript" ? o.transcript : o.imageOut) = text;
            continue;
        }
        long long v = 0;
        if (!toInt(text, value->second.low, value->second.high, v)) {
            result.error = arg + " takes a number from " + std::to_string(value->second.low) + " to " +
                           std::to_string(value->second.high) + ", not " + text;
            return result;
        }
        value->second.set(v);
    }
    return result;
}

}  // namespace kestrup::sim
