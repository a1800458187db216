// Checks a family of named results against its flat numbers: every name both ways, nothing else named.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace test_support {

// Every name of the family has its number, the number maps back to it, and no other number
// from -1100 to 1100 (the range the flat interfaces use) or at either end of int32_t maps to
// anything.
template <typename Family>
void expectExactFlatMapping(const std::vector<std::pair<Family, int32_t>>& table,
                            std::optional<Family> (*fromFlat)(int32_t)) {
    for (const auto& [name, number] : table) {
        EXPECT_EQ(flat(name), number);
        EXPECT_EQ(fromFlat(number), std::optional<Family>(name)) << number;
    }
    size_t named = 0;
    for (int32_t number = -1100; number <= 1100; ++number) {
        if (fromFlat(number)) ++named;
    }
    EXPECT_EQ(named, table.size()) << "a number is named that the table does not list";
    EXPECT_EQ(fromFlat(INT32_MIN), std::nullopt);
    EXPECT_EQ(fromFlat(INT32_MAX), std::nullopt);
}

}  // namespace test_support
