#include <gtest/gtest.h>

#include <string>

#include "ui/CMsg.h"

namespace {

struct TickRow {
    int attachState;
    int gateOpen;
    double sent;
    double received;
    const char* expected;
};

TEST(CMsg, TickComposesTheLineFromAttachmentGateAndRates) {
    const TickRow rows[] = {
        {0, 0, 0, 0, "通信ドライバと未接続"},
        {0, 1, 5000, 5000, "通信ドライバと未接続"},
        {2, 0, 0, 0, "通信ドライバと認証中"},
        {3, 1, 0, 0, "通信ドライバと切断中"},
        {1, 0, 0, 0, "Gateは閉じています"},
        {1, 0, 1500, 0, "Gateは閉じています"},
        {1, 1, 0, 0, "Gateは開いています"},
        {1, 1, 1500, 0, "Gateは開いています S:1.5,R:0.0 [KB/S]"},
        {1, 1, 0, 2048, "Gateは開いています S:0.0,R:2.0 [KB/S]"},
        {1, 1, 1000000, 999, "Gateは開いています S:1000.0,R:1.0 [KB/S]"},
        {1, 1, 0.5, 0, "Gateは開いています S:0.0,R:0.0 [KB/S]"},  // 0.0005 KB is above zero
    };
    for (const TickRow& row : rows) {
        CMsg msg;
        msg.setAttachState(row.attachState);
        msg.setGateOpen(row.gateOpen);
        msg.setRates(row.sent, row.received);
        msg.tick();
        EXPECT_EQ(msg.getText(), row.expected)
            << "attach " << row.attachState << " gate " << row.gateOpen << " sent " << row.sent
            << " received " << row.received;
    }
}

TEST(CMsg, StatesFourAnd32769KeepTheLastLine) {
    for (int state : {4, 32769, -1, 5}) {
        CMsg msg;
        msg.setAttachState(1);
        msg.tick();
        msg.setAttachState(state);
        msg.tick();
        EXPECT_EQ(msg.getText(), "Gateは閉じています") << "state " << state;
    }
}

TEST(CMsg, AMessageShowsAtOnceForSixTicksThenTheRegularLineReturns) {
    CMsg msg;
    msg.setAttachState(1);
    msg.setTemporary("接続操作を行いました");
    EXPECT_EQ(msg.getText(), "接続操作を行いました");
    for (int tick = 1; tick <= CMsg::kMessageTicks; ++tick) {
        msg.tick();
        EXPECT_EQ(msg.getText(), "接続操作を行いました") << "tick " << tick;
    }
    msg.tick();
    EXPECT_EQ(msg.getText(), "Gateは閉じています");
}

TEST(CMsg, ANullMessageIsTheEmptyTextAndALongOneIsCutOnACharacterBoundary) {
    CMsg msg;
    msg.setTemporary(nullptr);
    EXPECT_EQ(msg.getText(), "");
    std::string longText;
    for (int i = 0; i < 40; ++i) {
        longText += "あ";  // three bytes each
    }
    msg.setTemporary(longText.c_str());
    EXPECT_EQ(msg.getText().size(), 99u);  // 33 whole characters
    EXPECT_EQ(msg.getText(), longText.substr(0, 99));
}

TEST(CMsg, AFaultReplacesTheOpenGateLineOnlyWhileTheGateIsOpenAndAttached) {
    CMsg m;
    m.setFault("ポート21で待ち受けできません(使用中)!");
    const struct {
        int attach, gate;
        const char* text;
    } rows[] = {
        {1, 1, "ポート21で待ち受けできません(使用中)!"},
        {1, 0, "Gateは閉じています"},
        {0, 1, "通信ドライバと未接続"},
        {2, 1, "通信ドライバと認証中"},
    };
    for (const auto& row : rows) {
        m.setAttachState(row.attach);
        m.setGateOpen(row.gate);
        m.tick();
        EXPECT_EQ(m.getText(), row.text) << row.attach << "/" << row.gate;
    }
    // A message still comes first, and the fault returns after it.
    m.setAttachState(1);
    m.setGateOpen(1);
    m.setTemporary("接続操作を行いました");
    m.tick();
    EXPECT_EQ(m.getText(), "接続操作を行いました");
    for (int i = 0; i < CMsg::kMessageTicks; ++i) {
        m.tick();
    }
    EXPECT_EQ(m.getText(), "ポート21で待ち受けできません(使用中)!");
    m.setFault(nullptr);
    m.tick();
    EXPECT_EQ(m.getText(), "Gateは開いています");
}

}  // namespace
