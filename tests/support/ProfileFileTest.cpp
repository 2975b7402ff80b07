#include <gtest/gtest.h>

#include <climits>

#include "support/ProfileFile.h"

TEST(ProfileFile, LookupIgnoresCaseTrimsAndStripsQuotes) {
    ProfileFile f("; comment\n[System]\n  appMode = 1 \nname=\"a b\"\n[client]\nX=2\n");
    EXPECT_EQ(f.lookup("SYSTEM", "APPMODE").value_or("?"), "1");
    EXPECT_EQ(f.lookup("system", "NAME").value_or("?"), "a b");
    EXPECT_EQ(f.lookup("CLIENT", "x").value_or("?"), "2");
    EXPECT_FALSE(f.lookup("CLIENT", "APPMODE").has_value());
    EXPECT_FALSE(f.lookup("NONE", "X").has_value());
}

TEST(ProfileFile, FirstMatchingSectionAndKeyWin) {
    ProfileFile f("[A]\nk=1\nk=2\n[a]\nk=3\nj=4\n");
    EXPECT_EQ(f.lookup("A", "k").value_or("?"), "1");
    EXPECT_FALSE(f.lookup("A", "j").has_value());
}

TEST(ProfileFile, SetRewritesOnlyItsLine) {
    const std::string before = "; top\r\n[System]\r\nAppMode=0\r\n; keep me\r\n\r\n[Other]\r\nz=9\r\n";
    ProfileFile f(before);
    f.set("SYSTEM", "APPMODE", "1");
    EXPECT_EQ(f.text(), "; top\r\n[System]\r\nAPPMODE=1\r\n; keep me\r\n\r\n[Other]\r\nz=9\r\n");
}

TEST(ProfileFile, SetAddsKeyAfterTheSectionsLastLineAndNewSectionsAtTheEnd) {
    ProfileFile f("[A]\nx=1\n\n[B]\ny=2");
    f.set("a", "NEW", "v");
    f.set("C", "k", "w");
    EXPECT_EQ(f.text(), "[A]\nx=1\nNEW=v\n\n[B]\ny=2\n[C]\nk=w\n");
}

TEST(ProfileFile, ValueCannotAddLines) {
    ProfileFile f;
    f.set("S", "K", "evil\n[SYSTEM]\nAPPMODE=1");
    EXPECT_EQ(f.text(), "[S]\nK=evil\n");
}

TEST(ProfileParse, LeadingInteger) {
    const struct {
        const char* text;
        int value;
    } cases[] = {{"12", 12},  {" 7 ", 7},     {"-3", -3}, {"+4", 4},
                 {"5abc", 5}, {"abc", 0},     {"", 0},    {"0x10", 0},
                 {"-", 0},    {"99999999999", 2147483647},
                 {"2147483647", 2147483647}, {"-2147483647", -2147483647},
                 {"-2147483648", INT_MIN}, {"-99999999999", INT_MIN},
                 {"- 5", 0},  {"\t+12\r", 12}};
    for (const auto& c : cases) {
        EXPECT_EQ(profile::parseLeadingInt(c.text), c.value) << "text: '" << c.text << "'";
    }
}
