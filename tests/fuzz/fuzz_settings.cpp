// A settings file edited by hand, or garbage in its place: the reader takes it apart without
// fault, the four reads of a start give their values, and a save of those values reads back the
// same (a save then load changes nothing).

#include <cstdlib>

#include "settings.h"

using namespace kestrup;

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

struct Loaded {
    settings::WindowPosition position;
    std::array<std::string, settings::comRows> com;
};

Loaded load(std::string_view bytes) {
    settings::Reader reader = settings::Reader::fromBytes(bytes);
    reader.selectGroup(settings::groupName);
    Loaded l;
    for (int i = 0; i < settings::comRows; ++i)
        l.com[static_cast<std::size_t>(i)] = reader.readText(settings::comKey(i), "");
    l.position.y = reader.readNumber("WinY", 200);
    l.position.x = reader.readNumber("WinX", 630);
    return l;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const Loaded first = load(bytes);
    for (const auto& text : first.com) check(text.find_first_of("\r\n") == std::string::npos);
    const Loaded again = load(settings::format(first.position, first.com));
    check(again.position == first.position);
    check(again.com == first.com);
    return 0;
}
