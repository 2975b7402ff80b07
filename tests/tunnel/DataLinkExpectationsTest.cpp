#include "tunnel/DataLinkExpectations.h"

#include <gtest/gtest.h>

#include <ostream>
#include <vector>

namespace {

// One step against the table: announce a port, or ask for one.
struct Step {
    enum Kind { kExpect, kTake, kClear } kind;
    int port;
    int64_t atMs;
    int result;  // for kTake: what take must answer
};

struct ExpectationCase {
    const char* what;
    std::vector<Step> steps;
};

void PrintTo(const ExpectationCase& row, std::ostream* os) {
    *os << row.what;
}

class ExpectationTable : public ::testing::TestWithParam<ExpectationCase> {};

TEST_P(ExpectationTable, HonoursOnlyAnnouncedPortsOnce) {
    const ExpectationCase& row = GetParam();
    DataLinkExpectations table;
    int index = 0;
    for (const Step& step : row.steps) {
        uint32_t address = 0xFFFFFFFF;
        switch (step.kind) {
            case Step::kExpect:
                table.expect(step.port, 0x0100007F, step.atMs);
                break;
            case Step::kTake:
                EXPECT_EQ(table.take(step.port, step.atMs, address), step.result)
                    << row.what << ", step " << index;
                if (step.result == 1) {
                    EXPECT_EQ(address, 0x0100007Fu) << row.what << ", step " << index;
                }
                break;
            case Step::kClear:
                table.clear();
                break;
        }
        ++index;
    }
}

constexpr int64_t kLife = DataLinkExpectations::kLifetimeMs;

INSTANTIATE_TEST_SUITE_P(
    Table, ExpectationTable,
    ::testing::Values(
        ExpectationCase{"announced", {{Step::kExpect, 30000, 0, 0}, {Step::kTake, 30000, 10, 1}}},
        ExpectationCase{"unannounced", {{Step::kTake, 22, 0, 0}}},
        ExpectationCase{"another port than announced",
                        {{Step::kExpect, 30000, 0, 0}, {Step::kTake, 30001, 1, 0}}},
        ExpectationCase{
            "used twice",
            {{Step::kExpect, 30000, 0, 0}, {Step::kTake, 30000, 1, 1}, {Step::kTake, 30000, 2, 0}}},
        ExpectationCase{"just before expiry",
                        {{Step::kExpect, 30000, 100, 0}, {Step::kTake, 30000, 100 + kLife - 1, 1}}},
        ExpectationCase{"expired",
                        {{Step::kExpect, 30000, 100, 0}, {Step::kTake, 30000, 100 + kLife, 0}}},
        ExpectationCase{
            "forgotten at control close",
            {{Step::kExpect, 30000, 0, 0}, {Step::kClear, 0, 0, 0}, {Step::kTake, 30000, 1, 0}}},
        ExpectationCase{"announced again after use",
                        {{Step::kExpect, 30000, 0, 0},
                         {Step::kTake, 30000, 1, 1},
                         {Step::kExpect, 30000, 2, 0},
                         {Step::kTake, 30000, 3, 1}}},
        ExpectationCase{"re-announcement renews the time",
                        {{Step::kExpect, 30000, 0, 0},
                         {Step::kExpect, 30000, kLife - 1, 0},
                         {Step::kTake, 30000, kLife + 5, 1},
                         {Step::kTake, 30000, kLife + 6, 0}}}),
    [](const ::testing::TestParamInfo<ExpectationCase>& info) {
        return "row" + std::to_string(info.index);
    });

TEST(DataLinkExpectations, FullTableForgetsTheOldest) {
    DataLinkExpectations table;
    const int first = 40000;
    for (int i = 0; i <= static_cast<int>(DataLinkExpectations::kMaxExpectations); ++i) {
        table.expect(first + i, 0, i);
    }
    EXPECT_EQ(table.size(), DataLinkExpectations::kMaxExpectations);
    uint32_t address = 0;
    EXPECT_EQ(table.take(first, 100, address), 0) << "the oldest went";
    EXPECT_EQ(table.take(first + 1, 100, address), 1);
    EXPECT_EQ(
        table.take(first + static_cast<int>(DataLinkExpectations::kMaxExpectations), 100, address),
        1);
}

TEST(DataLinkExpectations, KeepsTheAddressOfEachAnnouncement) {
    DataLinkExpectations table;
    table.expect(30000, 0, 0);           // passive: the configured server
    table.expect(30001, 0x0A01A8C0, 0);  // active: the FTP client at 192.168.1.10
    uint32_t address = 1;
    ASSERT_EQ(table.take(30001, 1, address), 1);
    EXPECT_EQ(address, 0x0A01A8C0u);
    ASSERT_EQ(table.take(30000, 1, address), 1);
    EXPECT_EQ(address, 0u);
}

}  // namespace
