#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/copyCut.h"

namespace {

constexpr char kFill = '#';

struct CutCase {
    const char* name;
    const char* from;
    size_t size;
    const char* expected;  // what the buffer holds; nullptr: nothing written
};

const CutCase kCases[] = {
    {"short text fits", "bob", 8, "bob"},
    {"exactly size - 1 bytes", "1234567", 8, "1234567"},
    {"one byte too long is cut", "12345678", 8, "1234567"},
    {"much longer is cut", "a rather long handle name", 5, "a ra"},
    {"empty text", "", 8, ""},
    {"null copies as empty", nullptr, 8, ""},
    {"size 1 holds only the terminator", "abc", 1, ""},
    {"size 0 writes nothing", "abc", 0, nullptr},
    {"multi-byte text is cut by bytes", "\xef\xbc\xa6\xef\xbc\xb4", 5, "\xef\xbc\xa6\xef"},
};

TEST(CopyCut, Table) {
    for (const auto& c : kCases) {
        char buffer[16];
        std::memset(buffer, kFill, sizeof buffer);
        copyCut(buffer, c.size, c.from);
        if (c.expected == nullptr) {
            EXPECT_EQ(buffer[0], kFill) << "case: " << c.name;
            continue;
        }
        EXPECT_STREQ(buffer, c.expected) << "case: " << c.name;
        // Nothing is written past the terminator.
        const size_t used = std::strlen(c.expected) + 1;
        for (size_t i = used; i < sizeof buffer; ++i) {
            EXPECT_EQ(buffer[i], kFill) << "case: " << c.name << ", byte " << i;
        }
    }
}

TEST(CopyCut, ReadsNoFurtherThanItCanKeep) {
    // A source that is not terminated within the bytes that fit.
    const char unterminated[4] = {'a', 'b', 'c', 'd'};
    char buffer[4];
    copyCut(buffer, sizeof buffer, unterminated);
    EXPECT_STREQ(buffer, "abc");
}

}  // namespace
