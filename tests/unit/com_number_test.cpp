#include "port/com_number.h"

#include <gtest/gtest.h>

namespace kestrup {
namespace {

TEST(ComNumber, ConvertsAsTheFieldIsRead) {
    const std::pair<const char*, std::int32_t> table[] = {
        {"7", 7},
        {"  12", 12},
        {"3abc", 3},
        {"COM3", 0},
        {"+5", 5},
        {"-2", -2},
        {"- 2", 0},
        {"1 2", 1},
        {"", 0},
        {"\t9", 9},
        {"+-4", 0},
        {"00012", 12},
        {"2147483647", 2147483647},
        {"2147483648", -2147483647 - 1},
        {"4294967297", 1},
        {"-0", 0},
    };
    for (const auto& [text, number] : table) EXPECT_EQ(comNumberFromText(text), number) << '"' << text << '"';
}

}  // namespace
}  // namespace kestrup
