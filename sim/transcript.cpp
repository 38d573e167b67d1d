#include "transcript.h"

#include <cstdio>

#include "stage_model.h"

namespace kestrup::sim {
namespace {

std::string hexByte(std::uint8_t b) {
    char text[3];
    std::snprintf(text, sizeof text, "%02X", b);
    return text;
}

}  // namespace

std::string formatSession(const SessionRecord& s) {
    std::string out;
    auto line = [&out](const std::string& key, const std::string& value) { out += key + " " + value + "\n"; };
    out += "session " + std::to_string(s.number) + "\n";
    line("faulty", s.faulty ? "yes" : "no");
    line("came", std::to_string(s.bytesIn));
    line("lasted-us", std::to_string(s.last - s.start));
    line("handshake", handshakeName(s.handshake));
    line("host-bits", std::to_string(s.hostBits));
    line("replies", std::to_string(s.replies));
    line("answered", std::to_string(s.answers.size()));
    std::string answers;
    for (const std::uint8_t b : s.answers) answers += hexByte(b);
    line("answers", answers);
    if (s.command) line("command", std::to_string(*s.command));
    if (s.longCount) line("count", std::to_string(*s.longCount));
    if (s.longCount) line("longs", std::to_string(s.longs.size()));
    if (s.loadStart && s.loadEnd) line("load-us", std::to_string(*s.loadEnd - *s.loadStart));
    if (s.ramSum) line("sum", hexByte(*s.ramSum));
    line("verdict", s.verdict ? hexByte(*s.verdict) : "none");
    if (s.eepromAcks > 0) line("eeprom-acks", std::to_string(s.eepromAcks));
    if (s.stage) {
        line("stage", s.stage->build ? stageBuildName(*s.stage->build) : "none");
        if (!s.stage->pilotLoads.empty()) line("pilot-loads", s.stage->pilotLoads);
        if (!s.stage->bootAnswers.empty()) line("bootstrap-answers", s.stage->bootAnswers);
        if (s.stage->baud != 0) line("stage-baud", std::to_string(s.stage->baud));
        line("stage-answers", s.stage->answers.empty() ? "none" : s.stage->answers);
    }
    line("state", stateName(s.state));
    if (!s.why.empty()) line("why", s.why);
    out += "end\n";
    return out;
}

}  // namespace kestrup::sim
