#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>

#include "support/nextToken.h"

namespace {

struct TokenCase {
    const char* name;
    const char* text;
    char delimiter;
    const char* token;
    std::optional<int> rest;  // offset returned, or nothing
};

const TokenCase kCases[] = {
    {"leading white space of every kind", " \t\n\v\f\rabc def", 0, "abc", 10},
    {"white space ends a token", "USERS a", 0, "USERS", 6},
    {"last token without terminator", "abc", 0, "abc", std::nullopt},
    {"empty text", "", 0, "", std::nullopt},
    {"only white space", "  \t ", 0, "", std::nullopt},
    {"punctuation ends a token without delimiter", "bob:3 x", 0, "bob", 4},
    {"underscore is punctuation", "a_b", 0, "a", 2},
    {"delimiter ends a token", "bob:3,alice:1", ',', "bob:3", 6},
    {"other punctuation stays inside with delimiter", "a.b:c,d", ',', "a.b:c", 6},
    {"white space still ends a token with delimiter", "a b,c", ',', "a", 2},
    {"empty token at a delimiter", ",x", ',', "", 1},
    {"empty token at punctuation", ":1", 0, "", 1},
    {"bytes of 0x80 and above are ordinary", "\x82\xa0\xff:x", 0, "\x82\xa0\xff", 4},
    {"high bytes are no delimiter", "\xe3\x81\x82 y", 0, "\xe3\x81\x82", 4},
    {"digits and letters only", "abc123DEF!", 0, "abc123DEF", 10},
    {"carriage return ends a token", "227 Ent\r\nX", 0, "227", 4},
};

void PrintTo(const TokenCase& c, std::ostream* os) { *os << c.name; }

class NextTokenTable : public ::testing::TestWithParam<TokenCase> {};

TEST_P(NextTokenTable, Case) {
    const TokenCase& c = GetParam();
    char token[kTokenSize];
    std::memset(token, 'Z', sizeof token);
    const char* rest = nextToken(c.text, token, sizeof token, c.delimiter);
    EXPECT_STREQ(token, c.token) << c.name;
    if (c.rest) {
        ASSERT_NE(rest, nullptr) << c.name;
        EXPECT_EQ(rest - c.text, *c.rest) << c.name;
    } else {
        EXPECT_EQ(rest, nullptr) << c.name;
    }
}

INSTANTIATE_TEST_SUITE_P(Tokenizer, NextTokenTable, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return "row" + std::to_string(info.index); });

TEST(NextToken, LongTokenIsCutButPositionIsTheSame) {
    const std::string text = std::string(300, 'a') + " next";
    char small[8];
    char big[kLongTokenSize];
    const char* restSmall = nextToken(text.c_str(), small, sizeof small);
    const char* restBig = nextToken(text.c_str(), big, sizeof big);
    EXPECT_STREQ(small, "aaaaaaa");
    EXPECT_EQ(std::string(big), std::string(300, 'a'));
    EXPECT_EQ(restSmall, restBig);
    ASSERT_NE(restSmall, nullptr);
    EXPECT_STREQ(restSmall, "next");
}

TEST(NextToken, WalksAListToItsEnd) {
    const char* p = "USERS bob, carol,dave";
    char token[kTokenSize];
    std::string seen;
    p = nextToken(p, token, sizeof token);  // USERS
    seen += token;
    while (p != nullptr) {
        p = nextToken(p, token, sizeof token, ',');
        seen += "|";
        seen += token;
    }
    EXPECT_EQ(seen, "USERS|bob|carol|dave");
}

}  // namespace
