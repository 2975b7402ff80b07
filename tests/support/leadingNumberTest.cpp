#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string_view>

#include "support/leadingNumber.h"

namespace {

struct NumberCase {
    const char* name;
    std::string_view text;
    int64_t ceiling;
    int64_t value;
};

const NumberCase kCases[] = {
    {"digits only", "12", INT_MAX, 12},
    {"zero", "0", INT_MAX, 0},
    {"leading zeros", "007", INT_MAX, 7},
    {"digits then other text", "5abc", INT_MAX, 5},
    {"digits then a comma", "3,4", INT_MAX, 3},
    {"no digit", "abc", INT_MAX, 0},
    {"empty", "", INT_MAX, 0},
    {"white space is not skipped", " 7", INT_MAX, 0},
    {"minus is no digit", "-3", INT_MAX, 0},
    {"plus is no digit", "+4", INT_MAX, 0},
    {"hexadecimal reads its leading 0", "0x10", INT_MAX, 0},
    {"bytes above 0x7f end the number", "9\xef\xbc\x91", INT_MAX, 9},
    {"INT_MAX itself", "2147483647", INT_MAX, INT_MAX},
    {"one above INT_MAX is held", "2147483648", INT_MAX, INT_MAX},
    {"many digits are held", "99999999999999999999999999", INT_MAX, INT_MAX},
    {"a ceiling one above INT_MAX lets it through", "2147483648", int64_t{INT_MAX} + 1,
     int64_t{INT_MAX} + 1},
    {"and holds what is above it", "2147483649", int64_t{INT_MAX} + 1, int64_t{INT_MAX} + 1},
    {"a small ceiling", "70000", 65535, 65535},
    {"below a small ceiling", "65535", 65535, 65535},
    {"the text ends at its view", std::string_view("123", 2), INT_MAX, 12},
};

TEST(LeadingNumber, Table) {
    for (const auto& c : kCases) {
        EXPECT_EQ(leadingNumber(c.text, c.ceiling), c.value) << "case: " << c.name;
    }
}

TEST(LeadingNumber, DefaultCeilingHoldsTheResultInAnInt) {
    EXPECT_EQ(leadingNumber("4294967296"), INT_MAX);
    EXPECT_EQ(leadingNumber("42"), 42);
}

}  // namespace
