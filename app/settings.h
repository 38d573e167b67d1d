#pragma once
// The settings file "Kestrup.ini": the eight lines the Save button writes (nine with FastLoad), and
// the reader that restores them at start. Both work on bytes; files are settings_storage.h's
// business.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrup::settings {

inline constexpr std::string_view fileName = "Kestrup.ini";
inline constexpr std::string_view groupName = "Config";
inline constexpr int comRows = 4;

struct WindowPosition {
    std::int32_t x = 630;
    std::int32_t y = 200;
    friend bool operator==(const WindowPosition&, const WindowPosition&) = default;
};

// "FastLoad=1" in the group has the Upload buttons load through the second stage with the command
// line's lean timing; without it, or with another value, they load as they always did.
inline constexpr std::string_view fastLoadKey = "FastLoad";

// The key of COM row i (0 to 3): "ComN0" to "ComN3".
std::string comKey(int row);

// The whole file: header, group, position, the four COM texts unchanged, "FastLoad=1" when it is
// on; CR LF after every line.
std::string format(WindowPosition position, const std::array<std::string, comRows>& comTexts, bool fastLoad = false);

// A parsed settings file. Lines end at any run of CR and LF; blanks before a line are passed
// over; ';' starts a comment, '[' a group, anything else is a key.
class Reader {
public:
    struct Entry {
        enum class Kind { group, comment, key };
        Kind kind;
        std::string name;   // group or key name; a comment's text
        std::string value;  // a key's value, blanks at its start removed
    };

    static Reader fromBytes(std::string_view bytes);

    // Makes the first group of that name (ASCII case ignored) current. When there is none, every
    // later read gives its default.
    bool selectGroup(std::string_view name);
    // The value with its outer blanks removed, or the default when the key is missing.
    std::string readText(std::string_view key, std::string_view fallback) const;
    // The value read as atoi reads it (no digits gives 0, not the default); beyond the signed
    // 32-bit range it clamps to the range's ends.
    std::int32_t readNumber(std::string_view key, std::int32_t fallback) const;

    const std::vector<Entry>& entries() const { return entries_; }
    bool isUtf8() const { return utf8_; }

private:
    const Entry* findKey(std::string_view key) const;

    std::vector<Entry> entries_;
    bool utf8_ = false;
    bool groupMissing_ = false;
    // Index of the first entry that key lookups search.
    std::size_t searchFrom_ = 0;
};

// 0 to 255 as the bytes of UTF-8; what a UTF-8 file's names are compared against.
std::string latin1ToUtf8(std::string_view text);
// UTF-8 back to bytes of the same code point. Empty when a character lies above 255 or a sequence
// is malformed (including overlong forms).
std::string utf8ToLatin1(std::string_view text);

}  // namespace kestrup::settings
