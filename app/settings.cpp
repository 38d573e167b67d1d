#include "settings.h"

#include <limits>

namespace kestrup::settings {
namespace {

constexpr std::string_view header = "/* Kestrup Settings v0.1 */'";
constexpr std::string_view lineEnd = "\r\n";
constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}
bool isLineEnd(char c) {
    return c == '\r' || c == '\n';
}

std::string_view trimStart(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    return text;
}

std::string_view trimEnd(std::string_view text) {
    while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
    return text;
}

char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (asciiLower(a[i]) != asciiLower(b[i])) return false;
    return true;
}

Reader::Entry parseLine(std::string_view line) {
    using Kind = Reader::Entry::Kind;
    if (line.front() == ';') return {Kind::comment, std::string(line.substr(1)), {}};
    if (line.front() == '[') {
        const std::string_view rest = line.substr(1);
        return {Kind::group, std::string(rest.substr(0, rest.find(']'))), {}};
    }
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) return {Kind::key, std::string(trimEnd(line)), {}};
    return {Kind::key, std::string(trimEnd(line.substr(0, equals))), std::string(trimStart(line.substr(equals + 1)))};
}

// atoi's reading: C-locale white space, one sign, digits up to the first other character.
std::int32_t atoiClamped(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    // One past the largest magnitude, so that the minimum survives negation.
    constexpr std::int64_t limit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    std::int64_t magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        magnitude = magnitude * 10 + (text[i] - '0');
        if (magnitude > limit) magnitude = limit;
    }
    if (negative) return static_cast<std::int32_t>(-magnitude);
    return static_cast<std::int32_t>(magnitude == limit ? limit - 1 : magnitude);
}

}  // namespace

std::string comKey(int row) {
    return "ComN" + std::to_string(row);
}

std::string format(WindowPosition position, const std::array<std::string, comRows>& comTexts, bool fastLoad) {
    std::string out;
    const auto line = [&out](std::string_view key, std::string_view value) {
        out.append(key);
        out.append(value);
        out.append(lineEnd);
    };
    line(header, "");
    line("[Config]", "");
    line("WinX=", std::to_string(position.x));
    line("WinY=", std::to_string(position.y));
    for (int row = 0; row < comRows; ++row) {
        const std::string key = comKey(row);
        out.append(key);
        line("=", comTexts[static_cast<std::size_t>(row)]);
    }
    if (fastLoad) {
        out.append(fastLoadKey);
        line("=", "1");
    }
    return out;
}

Reader Reader::fromBytes(std::string_view bytes) {
    Reader reader;
    if (bytes.substr(0, byteOrderMark.size()) == byteOrderMark) {
        reader.utf8_ = true;
        bytes.remove_prefix(byteOrderMark.size());
    }
    // Every line end is a run of CR and LF, so a line without "=" never takes the next line as its
    // value, whatever the line ends are.
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        std::size_t end = pos;
        while (end < bytes.size() && !isLineEnd(bytes[end])) ++end;
        const std::string_view line = trimStart(bytes.substr(pos, end - pos));
        if (!line.empty()) reader.entries_.push_back(parseLine(line));
        pos = end;
        while (pos < bytes.size() && isLineEnd(bytes[pos])) ++pos;
    }
    return reader;
}

bool Reader::selectGroup(std::string_view name) {
    const std::string wanted = utf8_ ? latin1ToUtf8(name) : std::string(name);
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (entries_[i].kind == Entry::Kind::group && equalNoCase(entries_[i].name, wanted)) {
            searchFrom_ = i + 1;
            groupMissing_ = false;
            return true;
        }
    }
    groupMissing_ = true;
    return false;
}

const Reader::Entry* Reader::findKey(std::string_view key) const {
    if (groupMissing_) return nullptr;
    const std::string wanted = utf8_ ? latin1ToUtf8(key) : std::string(key);
    for (std::size_t i = searchFrom_; i < entries_.size(); ++i) {
        const Entry& entry = entries_[i];
        if (entry.kind == Entry::Kind::group) break;
        if (entry.kind == Entry::Kind::key && equalNoCase(entry.name, wanted)) return &entry;
    }
    return nullptr;
}

std::string Reader::readText(std::string_view key, std::string_view fallback) const {
    const Entry* entry = findKey(key);
    if (entry == nullptr) return std::string(fallback);
    const std::string_view value = trimEnd(trimStart(entry->value));
    return utf8_ ? utf8ToLatin1(value) : std::string(value);
}

std::int32_t Reader::readNumber(std::string_view key, std::int32_t fallback) const {
    const Entry* entry = findKey(key);
    return entry == nullptr ? fallback : atoiClamped(entry->value);
}

std::string latin1ToUtf8(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            out.push_back(c);
        } else {
            out.push_back(static_cast<char>(0xC0 | (byte >> 6)));
            out.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
        }
    }
    return out;
}

std::string utf8ToLatin1(std::string_view text) {
    // Code points up to 255 take one byte or C2/C3 and one continuation byte; every other lead
    // byte starts either a character above 255 or a malformed sequence, which read alike.
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            out.push_back(text[i]);
            continue;
        }
        if ((lead != 0xC2 && lead != 0xC3) || i + 1 >= text.size()) return {};
        const auto next = static_cast<unsigned char>(text[i + 1]);
        if ((next & 0xC0) != 0x80) return {};
        out.push_back(static_cast<char>(((lead & 0x03) << 6) | (next & 0x3F)));
        ++i;
    }
    return out;
}

}  // namespace kestrup::settings
