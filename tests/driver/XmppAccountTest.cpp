// The driver's contract over XMPP, with no server: a scripted peer feeds the
// account the stanzas a server would deliver, and the test reads what the
// account sent back and what the hub told its clients. Time is a manual
// clock, so liveness is ticked by hand.

#include <gtest/gtest.h>
#include <strophe.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "driver/DriverHub.h"
#include "driver/EndToEndSealFactory.h"
#include "driver/PlainStreamSeal.h"
#include "driver/ScratchDirectory.h"
#include "driver/XmppAccount.h"
#include "driver/XmppText.h"
#include "platform/PollEventLoop.h"

namespace {

using Texts = std::vector<std::string>;

class RecordingOutbox final : public DriverOutbox {
public:
    void sendAttach(SessionId session, int code) override {
        texts[session].push_back("ATTACH " + std::to_string(code));
    }
    void sendText(SessionId session, const std::string& text) override {
        texts[session].push_back(text);
    }
    void dropSession(SessionId) override {}
    Texts take(SessionId session) {
        Texts out;
        out.swap(texts[session]);
        return out;
    }
    std::map<SessionId, Texts> texts;
};

class RecordingWire final : public XmppWire {
public:
    void send(const std::string& xml) override { sent.push_back(xml); }
    void drop(const std::string& why) override { drops.push_back(why); }
    Texts take() {
        Texts out;
        out.swap(sent);
        return out;
    }
    Texts sent;
    Texts drops;
};

// A seal with a one-block handshake each way that marks what it seals, so a
// test sees that every block on the wire went through it, and that refuses
// to open a block without the mark.
class MarkingSeal final : public StreamSeal {
public:
    explicit MarkingSeal(bool initiator) : initiator(initiator) {}
    Step start(std::vector<std::string>& out) override {
        if (initiator) {
            out.push_back("hello-from-initiator");
        }
        return Step::kMore;
    }
    Step receiveHandshake(std::string_view block, std::vector<std::string>& out) override {
        if (!initiator && block == "hello-from-initiator") {
            out.push_back("hello-from-responder");
            return Step::kDone;
        }
        if (initiator && block == "hello-from-responder") {
            return Step::kDone;
        }
        why = "unexpected handshake block";
        return Step::kFailed;
    }
    bool seal(std::string_view text, std::string& block) override {
        block = "SEALED:" + std::string(text);
        return true;
    }
    bool open(std::string_view block, std::string& text) override {
        if (block.substr(0, 7) != "SEALED:") {
            why = "no mark";
            return false;
        }
        text = std::string(block.substr(7));
        return true;
    }
    std::string failure() const override { return why; }

private:
    bool initiator;
    std::string why;
};

class MarkingSealFactory final : public StreamSealFactory {
public:
    std::unique_ptr<StreamSeal> create(const StreamSealContext& context) override {
        contexts.push_back(context);
        return std::make_unique<MarkingSeal>(context.initiator);
    }
    std::vector<StreamSealContext> contexts;
};

const std::string kMe = "alice@a.test";
const std::string kMeFull = "alice@a.test/quillon-driver";
const std::string kBob = "bob@b.test";
const std::string kBobFull = "bob@b.test/quillon-driver";
const std::string kApp = "QuillonForFtp2000";

// The value of attribute name in the first element of xml that has it
// (found by hand: std::regex recurses per byte of a 87 KB block).
std::string attrOf(const std::string& xml, const std::string& name) {
    const std::string key = " " + name + "='";
    const size_t at = xml.find(key);
    if (at == std::string::npos) {
        return "";
    }
    const size_t begin = at + key.size();
    return xml.substr(begin, xml.find('\'', begin) - begin);
}

std::string dataOf(const std::string& xml) {
    const size_t open = xml.find("<data ");
    if (open == std::string::npos) {
        return "";
    }
    const size_t begin = xml.find('>', open) + 1;
    const size_t end = xml.find("</data>", begin);
    std::string bytes;
    EXPECT_TRUE(xmpptext::unbase64(xml.substr(begin, end - begin), bytes)) << xml.substr(0, 200);
    return bytes;
}

bool contains(const Texts& texts, const std::string& what) {
    for (const std::string& t : texts) {
        if (t.find(what) != std::string::npos) {
            return true;
        }
    }
    return false;
}

std::string joinedTexts(const Texts& texts) {
    std::string out;
    for (const std::string& t : texts) {
        out += t + "\n";
    }
    return out;
}

class XmppAccountTest : public ::testing::Test {
protected:
    void SetUp() override {
        ctx = xmpp_ctx_new(nullptr, nullptr);
        hub.setLogSink([this](const std::string& line) { logs.push_back(line); });
        DriverHub::AccountSettings settings;
        settings.handle = kMe;
        std::string error;
        ASSERT_TRUE(hub.addAccount(settings, error)) << error;
        useSeals(plain);
    }
    void TearDown() override {
        account.reset();
        xmpp_ctx_free(ctx);
    }

    void useSeals(StreamSealFactory& factory) {
        account.reset();
        XmppAccount::Settings settings{kMe, {kBob, "carol@b.test"}, "ONLINE"};
        account = std::make_unique<XmppAccount>(loop, hub, wire, factory, settings,
                                                [this](const std::string& l) { logs.push_back(l); });
        hub.setRemote(kMe, account.get());
    }

    void feed(const std::string& xml) {
        xmpp_stanza_t* stanza = xmpp_stanza_new_from_string(ctx, xml.c_str());
        ASSERT_NE(stanza, nullptr) << xml;
        account->onStanza(stanza);
        xmpp_stanza_release(stanza);
    }

    // Turns the loop so deferred work (due kDeferMs later) and due timers run.
    void settle() {
        clock.advance(XmppAccount::kDeferMs);
        for (int i = 0; i < 20 && loop.runOnce(0) > 0; ++i) {
        }
    }
    void advance(int ms) {
        clock.advance(ms - XmppAccount::kDeferMs);
        settle();
    }

    // A client attached to alice, with application kApp registered.
    DriverHub::SessionId attachClient() {
        const DriverHub::SessionId id = hub.openSession(kMe);
        hub.discover(id);
        hub.handleCommand(id, "CREATE APPLICATION " + kApp);
        wire.take();  // the presence with the new capabilities
        return id;
    }

    // Signs in with bob mutual and online, advertising kApp through caps.
    void signInWithBob(const std::string& bobSubscription = "both") {
        account->onSignedIn(kMeFull);
        const Texts out = wire.take();
        ASSERT_FALSE(out.empty());
        const std::string id = attrOf(out[0], "id");
        feed("<iq type='result' id='" + id + "'><query xmlns='jabber:iq:roster'><item jid='" +
             kBob + "' subscription='" + bobSubscription + "'/></query></iq>");
        wire.take();
        bobAdvertises({kApp});
    }

    // bob's resource announces caps for these applications and answers the
    // disco#info query that follows (if any).
    void bobAdvertises(const std::vector<std::string>& apps, const std::string& full = kBobFull,
                       const std::vector<std::string>& extra = {}) {
        std::vector<std::string> features = {"http://jabber.org/protocol/caps",
                                             "http://jabber.org/protocol/disco#info",
                                             "http://jabber.org/protocol/ibb", "urn:xmpp:ping"};
        features.insert(features.end(), extra.begin(), extra.end());
        for (const std::string& app : apps) {
            features.push_back(XmppAccount::kFeaturePrefix + xmpptext::percentEncoded(app));
        }
        const std::string ver = xmpptext::capsVer("client", "bot", "quillon-driver", features);
        feed("<presence from='" + full +
             "'><c xmlns='http://jabber.org/protocol/caps' hash='sha-1' node='urn:quillon:driver' "
             "ver='" + ver + "'/></presence>");
        for (const std::string& xml : wire.take()) {
            if (xml.find("disco#info") == std::string::npos) {
                continue;
            }
            std::string reply = "<iq type='result' from='" + full + "' id='" + attrOf(xml, "id") +
                                "'><query xmlns='http://jabber.org/protocol/disco#info'>"
                                "<identity category='client' type='bot' name='quillon-driver'/>";
            for (const std::string& f : features) {
                reply += "<feature var='" + f + "'/>";
            }
            feed(reply + "</query></iq>");
        }
    }

    // Opens a stream from the client to bob and lets bob's driver accept it.
    std::string openToBob(DriverHub::SessionId id) {
        hub.handleCommand(id, "ALTER APPLICATION " + kApp + " CONNECT " + kBob);
        const Texts out = wire.take();
        EXPECT_EQ(out.size(), 1u);
        if (out.empty()) {
            return "";
        }
        EXPECT_NE(out[0].find("<open xmlns='http://jabber.org/protocol/ibb'"), std::string::npos);
        EXPECT_EQ(attrOf(out[0], "to"), kBobFull);
        feed("<iq type='result' from='" + kBobFull + "' id='" + attrOf(out[0], "id") + "'/>");
        return attrOf(out[0], "sid");
    }

    std::string dataIq(const std::string& sid, int seq, const std::string& bytes,
                       const std::string& id) {
        return "<iq type='set' from='" + kBobFull + "' to='" + kMeFull + "' id='" + id +
               "'><data xmlns='http://jabber.org/protocol/ibb' seq='" + std::to_string(seq) +
               "' sid='" + sid + "'>" + xmpptext::base64(bytes) + "</data></iq>";
    }

    std::string openIq(const std::string& from, const std::string& sid, const std::string& app,
                       const std::string& id = "o1") {
        return "<iq type='set' from='" + from + "' id='" + id +
               "'><open xmlns='http://jabber.org/protocol/ibb' block-size='65535' sid='" + sid +
               "' stanza='iq'><application xmlns='urn:quillon:stream'>" +
               xmpptext::percentEncoded(app) + "</application></open></iq>";
    }

    platform::ManualClock clock{1000};
    platform::PollEventLoop loop{clock};
    RecordingOutbox outbox;
    DriverHub hub{loop, outbox};
    RecordingWire wire;
    PlainStreamSealFactory plain;
    std::unique_ptr<XmppAccount> account;
    xmpp_ctx_t* ctx = nullptr;
    Texts logs;
};

TEST_F(XmppAccountTest, NotAvailableUntilSignedInThenAttachedWithTheMutualContacts) {
    const DriverHub::SessionId id = hub.openSession(kMe);
    hub.discover(id);
    EXPECT_EQ(outbox.take(id), (Texts{"ATTACH 3"}));

    account->onSignedIn(kMeFull);
    Texts out = wire.take();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_NE(out[0].find("<query xmlns='jabber:iq:roster'/>"), std::string::npos) << out[0];
    EXPECT_TRUE(outbox.take(id).empty()) << "attached before the roster arrived";

    // bob mutual; carol (configured) only "to"; dave in the roster, not configured.
    feed("<iq type='result' id='" + attrOf(out[0], "id") +
         "'><query xmlns='jabber:iq:roster'>"
         "<item jid='bob@b.test' subscription='both'/>"
         "<item jid='carol@b.test' subscription='to'/>"
         "<item jid='dave@b.test' subscription='from'/></query></iq>");
    out = wire.take();
    // carol: approved ahead of time, not asked again; bob: nothing to do.
    EXPECT_TRUE(contains(out, "<presence to='carol@b.test' type='subscribed'/>"))
        << joinedTexts(out);
    EXPECT_FALSE(contains(out, "to='carol@b.test' type='subscribe'/>")) << joinedTexts(out);
    EXPECT_FALSE(contains(out, "to='bob@b.test'")) << joinedTexts(out);
    EXPECT_FALSE(contains(out, "dave@b.test")) << joinedTexts(out);
    EXPECT_TRUE(contains(out, "<c xmlns='http://jabber.org/protocol/caps' hash='sha-1'"))
        << joinedTexts(out);

    EXPECT_EQ(outbox.take(id), (Texts{"ATTACH 0"}));
    hub.handleCommand(id, "SEARCH FRIENDS");
    hub.handleCommand(id, "GET USER bob@b.test ONLINESTATUS");
    hub.handleCommand(id, "GET USER dave@b.test ONLINESTATUS");
    EXPECT_EQ(outbox.take(id), (Texts{"USERS bob@b.test", "USER bob@b.test ONLINESTATUS OFFLINE",
                                      "USER dave@b.test ONLINESTATUS UNKNOWN"}));
}

TEST_F(XmppAccountTest, ConfiguredContactsAreSubscribedToAndApproved) {
    account->onSignedIn(kMeFull);
    const std::string id = attrOf(wire.take()[0], "id");
    feed("<iq type='result' id='" + id + "'><query xmlns='jabber:iq:roster'/></iq>");
    const Texts out = wire.take();
    for (const std::string& contact : {kBob, std::string("carol@b.test")}) {
        EXPECT_TRUE(contains(out, "<presence to='" + contact + "' type='subscribe'/>")) << contact;
        EXPECT_TRUE(contains(out, "<presence to='" + contact + "' type='subscribed'/>")) << contact;
    }
    // A contact's request is approved; a stranger's is left unanswered and logged once.
    feed("<presence from='carol@b.test' type='subscribe'/>");
    EXPECT_TRUE(contains(wire.take(), "<presence to='carol@b.test' type='subscribed'/>"));
    feed("<presence from='mallory@evil.test' type='subscribe'/>");
    feed("<presence from='mallory@evil.test/x' type='subscribe'/>");
    EXPECT_TRUE(wire.take().empty());
    int logged = 0;
    for (const std::string& line : logs) {
        logged += line.find("mallory@evil.test left unanswered") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(logged, 1);
}

TEST_F(XmppAccountTest, RosterPushesAddAndRemoveContacts) {
    signInWithBob("to");
    const DriverHub::SessionId id = attachClient();
    outbox.take(id);
    hub.handleCommand(id, "SEARCH FRIENDS");
    EXPECT_EQ(outbox.take(id), (Texts{"USERS"}));

    feed("<iq type='set' id='push1'><query xmlns='jabber:iq:roster'><item jid='bob@b.test' "
         "subscription='both'/></query></iq>");
    EXPECT_TRUE(contains(wire.take(), "<iq type='result' id='push1'"));
    Texts told = outbox.take(id);
    EXPECT_TRUE(contains(told, "USER bob@b.test BUDDYSTATUS 3")) << joinedTexts(told);
    EXPECT_TRUE(contains(told, "USER bob@b.test ONLINESTATUS ONLINE")) << joinedTexts(told);

    // A push from anyone but the server (or the account itself) is refused.
    feed("<iq type='set' id='push2' from='mallory@evil.test/x'><query xmlns='jabber:iq:roster'>"
         "<item jid='mallory@evil.test' subscription='both'/></query></iq>");
    EXPECT_TRUE(contains(wire.take(), "forbidden"));

    feed("<iq type='set' id='push3'><query xmlns='jabber:iq:roster'><item jid='bob@b.test' "
         "subscription='remove'/></query></iq>");
    hub.handleCommand(id, "SEARCH FRIENDS");
    told = outbox.take(id);
    ASSERT_FALSE(told.empty());
    EXPECT_EQ(told.back(), "USERS");
}

struct ShowRow {
    const char* presence;  // what bob's resource sends, inside <presence from=...>
    const char* status;
};

TEST_F(XmppAccountTest, PresenceBecomesOnlineStatus) {
    signInWithBob();
    const DriverHub::SessionId id = attachClient();
    const ShowRow rows[] = {
        {"<show>away</show>", "AWAY"}, {"<show>xa</show>", "NA"},
        {"<show>dnd</show>", "DND"},   {"", "ONLINE"},
        {"<show>chat</show>", "ONLINE"},
    };
    for (const ShowRow& row : rows) {
        feed("<presence from='" + kBobFull + "'>" + row.presence + "</presence>");
        hub.handleCommand(id, "GET USER bob@b.test ONLINESTATUS");
        const Texts told = outbox.take(id);
        ASSERT_FALSE(told.empty()) << row.presence;
        EXPECT_EQ(told.back(), std::string("USER bob@b.test ONLINESTATUS ") + row.status)
            << "presence " << row.presence;
    }
    // Two resources: the more available one counts; the last one leaving is OFFLINE.
    feed("<presence from='bob@b.test/phone'><show>dnd</show></presence>");
    feed("<presence from='" + kBobFull + "'><show>away</show></presence>");
    outbox.take(id);
    hub.handleCommand(id, "GET USER bob@b.test ONLINESTATUS");
    EXPECT_EQ(outbox.take(id), (Texts{"USER bob@b.test ONLINESTATUS AWAY"}));
    feed("<presence from='" + kBobFull + "' type='unavailable'/>");
    feed("<presence from='bob@b.test/phone' type='unavailable'/>");
    EXPECT_EQ(outbox.take(id), (Texts{"USER bob@b.test ONLINESTATUS DND",
                                      "USER bob@b.test ONLINESTATUS OFFLINE"}));
}

TEST_F(XmppAccountTest, ApplicationsAreAdvertisedAsFeaturesThroughCaps) {
    signInWithBob();
    const DriverHub::SessionId id = attachClient();
    hub.handleCommand(id, "CREATE APPLICATION odd<&>name");
    const Texts out = wire.take();
    ASSERT_EQ(out.size(), 1u) << "one new presence with the new hash";
    const std::string ver = attrOf(out[0], "ver");
    EXPECT_EQ(ver, account->capsVer());
    const std::string expected = xmpptext::capsVer(
        "client", "bot", "quillon-driver",
        {"http://jabber.org/protocol/caps", "http://jabber.org/protocol/disco#info",
         "http://jabber.org/protocol/ibb", "urn:xmpp:ping",
         "urn:quillon:application:QuillonForFtp2000", "urn:quillon:application:odd%3C%26%3Ename"});
    EXPECT_EQ(ver, expected);

    feed("<iq type='get' from='" + kBobFull + "' id='d1'><query "
         "xmlns='http://jabber.org/protocol/disco#info' node='urn:quillon:driver#" + ver +
         "'/></iq>");
    const Texts reply = wire.take();
    ASSERT_EQ(reply.size(), 1u);
    EXPECT_NE(reply[0].find("<feature var='urn:quillon:application:odd%3C%26%3Ename'/>"),
              std::string::npos) << reply[0];
    EXPECT_NE(reply[0].find("node='urn:quillon:driver#" + ver + "'"), std::string::npos);
    // A stale hash is not answered with today's features.
    feed("<iq type='get' from='" + kBobFull + "' id='d2'><query "
         "xmlns='http://jabber.org/protocol/disco#info' node='urn:quillon:driver#old'/></iq>");
    EXPECT_TRUE(contains(wire.take(), "item-not-found"));

    // Deleting the application withdraws the feature.
    hub.handleCommand(id, "DELETE APPLICATION odd<&>name");
    EXPECT_EQ(attrOf(wire.take().at(0), "ver"), xmpptext::capsVer(
        "client", "bot", "quillon-driver",
        {"http://jabber.org/protocol/caps", "http://jabber.org/protocol/disco#info",
         "http://jabber.org/protocol/ibb", "urn:xmpp:ping",
         "urn:quillon:application:QuillonForFtp2000"}));
}

TEST_F(XmppAccountTest, ConnectableListsOnlineMutualContactsAdvertisingTheApplication) {
    account->onSignedIn(kMeFull);
    feed("<iq type='result' id='" + attrOf(wire.take()[0], "id") +
         "'><query xmlns='jabber:iq:roster'><item jid='bob@b.test' subscription='both'/>"
         "<item jid='carol@b.test' subscription='from'/></query></iq>");
    const DriverHub::SessionId id = attachClient();
    wire.take();
    outbox.take(id);
    // carol advertises it but is not mutual; bob advertises something else first.
    bobAdvertises({kApp}, "carol@b.test/quillon-driver");
    bobAdvertises({"Other"});
    hub.handleCommand(id, "GET APPLICATION " + kApp + " CONNECTABLE");
    EXPECT_EQ(outbox.take(id).back(), "APPLICATION " + kApp + " CONNECTABLE");
    bobAdvertises({kApp});
    hub.handleCommand(id, "GET APPLICATION " + kApp + " CONNECTABLE");
    EXPECT_EQ(outbox.take(id).back(), "APPLICATION " + kApp + " CONNECTABLE bob@b.test");

    // Another resource with the same hash is known from the cache: no query.
    const std::string ver = attrOf(
        "x ver='" + xmpptext::capsVer("client", "bot", "quillon-driver",
                                     {"http://jabber.org/protocol/caps",
                                      "http://jabber.org/protocol/disco#info",
                                      "http://jabber.org/protocol/ibb", "urn:xmpp:ping",
                                      "urn:quillon:application:" + kApp}) + "'",
        "ver");
    feed("<presence from='bob@b.test/laptop'><c xmlns='http://jabber.org/protocol/caps' "
         "hash='sha-1' node='urn:quillon:driver' ver='" + ver + "'/></presence>");
    EXPECT_TRUE(wire.take().empty()) << "asked again for a cached hash";

    // A result that does not match its hash is not cached for others.
    feed("<presence from='bob@b.test/liar'><c xmlns='http://jabber.org/protocol/caps' "
         "hash='sha-1' node='n' ver='bogus='/></presence>");
    Texts asked = wire.take();
    ASSERT_EQ(asked.size(), 1u);
    feed("<iq type='result' from='bob@b.test/liar' id='" + attrOf(asked[0], "id") +
         "'><query xmlns='http://jabber.org/protocol/disco#info'><identity category='client' "
         "type='bot' name='x'/><feature var='urn:quillon:application:" + kApp +
         "'/></query></iq>");
    feed("<presence from='bob@b.test/second'><c xmlns='http://jabber.org/protocol/caps' "
         "hash='sha-1' node='n' ver='bogus='/></presence>");
    EXPECT_EQ(wire.take().size(), 1u) << "an unverified hash was cached";

    // Presence from outside the roster is not looked into.
    feed("<presence from='stranger@x.test/r'><c xmlns='http://jabber.org/protocol/caps' "
         "hash='sha-1' node='n' ver='other='/></presence>");
    EXPECT_TRUE(wire.take().empty()) << "asked a stranger for its features";

    // Offline: not connectable.
    for (const char* r : {"quillon-driver", "laptop", "liar", "second"}) {
        feed(std::string("<presence from='bob@b.test/") + r + "' type='unavailable'/>");
    }
    hub.handleCommand(id, "GET APPLICATION " + kApp + " CONNECTABLE");
    EXPECT_EQ(outbox.take(id).back(), "APPLICATION " + kApp + " CONNECTABLE");
}

TEST_F(XmppAccountTest, WritesGoOutInOrderAndSendingClearsWithTheAcknowledgements) {
    signInWithBob();
    const DriverHub::SessionId id = attachClient();
    hub.handleCommand(id, "ALTER APPLICATION " + kApp + " CONNECT nobody@b.test");
    EXPECT_EQ(outbox.take(id).back().substr(0, 9), "ERROR 547");
    outbox.take(id);
    const std::string sid = openToBob(id);
    Texts told = outbox.take(id);
    EXPECT_EQ(told, (Texts{"ALTER APPLICATION " + kApp + " CONNECT " + kBob,
                           "APPLICATION " + kApp + " CONNECTING " + kBob,
                           "APPLICATION " + kApp + " STREAMS " + kBob + ":1"}));

    const std::string binary("a\x01\xff<&'\"b", 9);
    const Texts writes = {"one", binary, std::string(65535, 'z')};
    for (const std::string& text : writes) {
        hub.handleCommand(id, "ALTER APPLICATION " + kApp + " WRITE " + kBob + ":1 " + text);
    }
    told = outbox.take(id);
    EXPECT_EQ(told.back(), "APPLICATION " + kApp + " SENDING") << "within the send window";
    const Texts out = wire.take();
    ASSERT_EQ(out.size(), 3u);
    for (size_t i = 0; i < out.size(); ++i) {
        EXPECT_EQ(attrOf(out[i], "seq"), std::to_string(i));
        EXPECT_EQ(attrOf(out[i], "sid"), sid);
        EXPECT_EQ(attrOf(out[i], "to"), kBobFull);
        EXPECT_EQ(dataOf(out[i]), writes[i]) << "block " << i;
    }
    // An answer from someone else does not count.
    feed("<iq type='result' from='mallory@evil.test/x' id='" + attrOf(out[0], "id") + "'/>");
    EXPECT_TRUE(outbox.take(id).empty());
    for (size_t i = 0; i < out.size(); ++i) {
        feed("<iq type='result' from='" + kBobFull + "' id='" + attrOf(out[i], "id") + "'/>");
        EXPECT_EQ(outbox.take(id), (Texts{"APPLICATION " + kApp + " SENDING"})) << "after ack " << i;
    }
}

TEST_F(XmppAccountTest, SendingListsTheStreamWhileItsWindowIsFull) {
    signInWithBob();
    const DriverHub::SessionId id = attachClient();
    openToBob(id);
    outbox.take(id);
    const size_t window = DriverHub::kRemoteSendWindowWrites;
    Texts sending;
    for (size_t i = 0; i < window + 1; ++i) {
        hub.handleCommand(id, "ALTER APPLICATION " + kApp + " WRITE " + kBob + ":1 abc");
        sending.push_back(outbox.take(id).back());
    }
    for (size_t i = 0; i < window + 1; ++i) {
        const std::string expected =
            i + 1 < window ? "APPLICATION " + kApp + " SENDING"
                           : "APPLICATION " + kApp + " SENDING " + kBob + ":1=" +
                                 std::to_string(3 * (i + 1));
        EXPECT_EQ(sending[i], expected) << "after write " << i;
    }
    const Texts out = wire.take();
    ASSERT_EQ(out.size(), window + 1);
    // Acknowledgements take it back below the window: listed, listed, then clear.
    const Texts afterAcks = {"APPLICATION " + kApp + " SENDING " + kBob + ":1=" +
                                 std::to_string(3 * window),
                             "APPLICATION " + kApp + " SENDING"};
    for (size_t i = 0; i < afterAcks.size(); ++i) {
        feed("<iq type='result' from='" + kBobFull + "' id='" + attrOf(out[i], "id") + "'/>");
        EXPECT_EQ(outbox.take(id), (Texts{afterAcks[i]})) << "after ack " << i;
    }
}

TEST_F(XmppAccountTest, TheWriterMayHaveAWindowOfUnacknowledgedWritesAndNoMore) {
    signInWithBob();
    const DriverHub::SessionId id = attachClient();
    openToBob(id);
    outbox.take(id);
    for (size_t i = 0; i < DriverHub::kMaxQueuedMessages; ++i) {
        hub.handleCommand(id, "ALTER APPLICATION " + kApp + " WRITE " + kBob + ":1 w" +
                                  std::to_string(i));
    }
    Texts out = wire.take();
    EXPECT_EQ(out.size(), DriverHub::kMaxQueuedMessages) << "every write in flight at once";
    outbox.take(id);
    hub.handleCommand(id, "ALTER APPLICATION " + kApp + " WRITE " + kBob + ":1 over");
    EXPECT_EQ(outbox.take(id), (Texts{"ERROR 552 ALTER APPLICATION WRITE: stream buffer full"}));
    EXPECT_TRUE(wire.take().empty());
    feed("<iq type='result' from='" + kBobFull + "' id='" + attrOf(out[0], "id") + "'/>");
    outbox.take(id);
    hub.handleCommand(id, "ALTER APPLICATION " + kApp + " WRITE " + kBob + ":1 next");
    EXPECT_EQ(outbox.take(id).front(), "ALTER APPLICATION " + kApp + " WRITE " + kBob + ":1");
    EXPECT_EQ(attrOf(wire.take().at(0), "seq"), std::to_string(DriverHub::kMaxQueuedMessages));
}

TEST_F(XmppAccountTest, AcceptedStreamDeliversInOrderAndHoldsAcksWhileTheInboxIsFull) {
    signInWithBob();
    const DriverHub::SessionId id = attachClient();
    outbox.take(id);
    feed(openIq(kBobFull, "s1", kApp));
    EXPECT_EQ(wire.take(), (Texts{"<iq type='result' id='o1' to='" + kBobFull + "'/>"}));
    EXPECT_EQ(outbox.take(id), (Texts{"APPLICATION " + kApp + " STREAMS " + kBob + ":1"}));

    for (size_t i = 0; i < DriverHub::kMaxQueuedMessages + 2; ++i) {
        feed(dataIq("s1", static_cast<int>(i), "m" + std::to_string(i), "d" + std::to_string(i)));
    }
    Texts acks = wire.take();
    EXPECT_EQ(acks.size(), DriverHub::kMaxQueuedMessages) << "acknowledged past the inbox";
    EXPECT_EQ(attrOf(acks.back(), "id"), "d" + std::to_string(DriverHub::kMaxQueuedMessages - 1));
    outbox.take(id);

    hub.handleCommand(id, "ALTER APPLICATION " + kApp + " READ " + kBob + ":1");
    EXPECT_EQ(outbox.take(id).front(), "ALTER APPLICATION " + kApp + " READ " + kBob + ":1 m0");
    settle();
    acks = wire.take();
    ASSERT_EQ(acks.size(), 1u) << "one read makes room for one held block";
    EXPECT_EQ(attrOf(acks[0], "id"), "d64");
    EXPECT_EQ(outbox.take(id), (Texts{"APPLICATION " + kApp + " RECEIVED " + kBob + ":1=183"}));
    // Everything comes out in the order written.
    for (size_t i = 1; i < DriverHub::kMaxQueuedMessages + 2; ++i) {
        hub.handleCommand(id, "ALTER APPLICATION " + kApp + " READ " + kBob + ":1");
        EXPECT_EQ(outbox.take(id).front(),
                  "ALTER APPLICATION " + kApp + " READ " + kBob + ":1 m" + std::to_string(i));
        settle();
        outbox.take(id);
    }
    acks = wire.take();
    ASSERT_EQ(acks.size(), 1u);
    EXPECT_EQ(attrOf(acks[0], "id"), "d65");
}

TEST_F(XmppAccountTest, ABlockOutOfOrderOrMalformedEndsTheStream) {
    const struct {
        const char* what;
        int seq;
        const char* payload;  // raw element text; nullptr: base64 of "x"
    } rows[] = {{"skipped sequence", 1, nullptr}, {"not base64", 0, "!!!!"}};
    int n = 0;
    signInWithBob();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const DriverHub::SessionId id = attachClient();
        outbox.take(id);
        const std::string sid = "s" + std::to_string(++n);
        feed(openIq(kBobFull, sid, kApp, "o" + sid));
        wire.take();
        outbox.take(id);
        std::string xml = dataIq(sid, row.seq, "x", "bad");
        if (row.payload != nullptr) {
            xml.replace(xml.find(">eA==<"), 6, std::string(">") + row.payload + "<");
        }
        feed(xml);
        const Texts out = wire.take();
        EXPECT_TRUE(contains(out, "type='error' id='bad'")) << joinedTexts(out);
        EXPECT_TRUE(contains(out, "<close xmlns='http://jabber.org/protocol/ibb' sid='" + sid))
            << joinedTexts(out);
        EXPECT_EQ(outbox.take(id), (Texts{"APPLICATION " + kApp + " STREAMS"}));
        hub.closeSession(id);
        wire.take();
    }
}

struct RefusalRow {
    const char* what;
    const char* rosterSubscription;
    const char* application;
};

TEST_F(XmppAccountTest, StreamsAreRefusedUnlessFromAMutualContactForARegisteredApplication) {
    const RefusalRow rows[] = {
        {"contact only subscribed one way", "to", "QuillonForFtp2000"},
        {"application nobody registered", "both", "Unknown"},
    };
    for (const RefusalRow& row : rows) {
        SCOPED_TRACE(row.what);
        useSeals(plain);
        signInWithBob(row.rosterSubscription);
        const DriverHub::SessionId id = attachClient();
        outbox.take(id);
        feed(openIq(kBobFull, "s1", row.application));
        const Texts out = wire.take();
        ASSERT_EQ(out.size(), 1u);
        EXPECT_NE(out[0].find("type='error' id='o1'"), std::string::npos) << out[0];
        EXPECT_NE(out[0].find("not-acceptable"), std::string::npos) << out[0];
        EXPECT_TRUE(outbox.take(id).empty());
        EXPECT_EQ(hub.streamCount(), 0u);
        // Data for the refused stream finds nothing.
        feed(dataIq("s1", 0, "x", "d0"));
        EXPECT_TRUE(contains(wire.take(), "item-not-found"));
        hub.closeSession(id);
        account->onSignedOut("next row");
    }
    // A stranger (not in the roster at all) is refused too.
    signInWithBob();
    const DriverHub::SessionId id = attachClient();
    feed(openIq("mallory@evil.test/x", "s9", kApp, "o9"));
    EXPECT_TRUE(contains(wire.take(), "not-acceptable"));
    EXPECT_EQ(hub.streamCount(), 0u);
    (void)id;
}

TEST_F(XmppAccountTest, ThePeerRefusingEndsTheOpeningStreamUnannounced) {
    signInWithBob();
    const DriverHub::SessionId id = attachClient();
    outbox.take(id);
    hub.handleCommand(id, "ALTER APPLICATION " + kApp + " CONNECT " + kBob);
    const Texts out = wire.take();
    ASSERT_EQ(out.size(), 1u);
    outbox.take(id);
    feed("<iq type='error' from='" + kBobFull + "' id='" + attrOf(out[0], "id") +
         "'><error type='cancel'><not-acceptable "
         "xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error></iq>");
    EXPECT_EQ(outbox.take(id), (Texts{"APPLICATION " + kApp + " STREAMS"}));
    EXPECT_EQ(hub.streamCount(), 0u);
    hub.handleCommand(id, "ALTER APPLICATION " + kApp + " WRITE " + kBob + ":1 x");
    EXPECT_EQ(outbox.take(id).back().substr(0, 9), "ERROR 549");
}

TEST_F(XmppAccountTest, HandshakeBlocksPassBeforeTheStreamIsAnnouncedAndEveryWriteIsSealed) {
    MarkingSealFactory marking;
    useSeals(marking);
    signInWithBob();
    const DriverHub::SessionId id = attachClient();
    outbox.take(id);
    const std::string sid = openToBob(id);
    ASSERT_EQ(marking.contexts.size(), 1u);
    EXPECT_TRUE(marking.contexts[0].initiator);
    EXPECT_EQ(marking.contexts[0].peerJid, kBob);
    EXPECT_EQ(marking.contexts[0].localJid, kMe);
    EXPECT_EQ(marking.contexts[0].application, kApp);
    EXPECT_EQ(marking.contexts[0].sid, sid);
    Texts out = wire.take();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(dataOf(out[0]), "hello-from-initiator");
    outbox.take(id);
    hub.handleCommand(id, "GET APPLICATION " + kApp + " CONNECTABLE");
    outbox.take(id);
    // Not yet listed: a WRITE finds no stream.
    hub.handleCommand(id, "ALTER APPLICATION " + kApp + " WRITE " + kBob + ":1 early");
    EXPECT_EQ(outbox.take(id).back().substr(0, 9), "ERROR 549");

    feed(dataIq(sid, 0, "hello-from-responder", "h0"));
    EXPECT_EQ(attrOf(wire.take().at(0), "id"), "h0");
    EXPECT_EQ(outbox.take(id), (Texts{"APPLICATION " + kApp + " STREAMS " + kBob + ":1"}));

    hub.handleCommand(id, "ALTER APPLICATION " + kApp + " WRITE " + kBob + ":1 secret");
    out = wire.take();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(dataOf(out[0]), "SEALED:secret");
    EXPECT_EQ(attrOf(out[0], "seq"), "1");
    // The handshake block's ack does not touch SENDING; the write's does.
    outbox.take(id);
    feed("<iq type='result' from='" + kBobFull + "' id='" + attrOf(out[0], "id") + "'/>");
    EXPECT_EQ(outbox.take(id), (Texts{"APPLICATION " + kApp + " SENDING"}));

    feed(dataIq(sid, 1, "SEALED:reply", "d1"));
    hub.handleCommand(id, "ALTER APPLICATION " + kApp + " READ " + kBob + ":1");
    EXPECT_TRUE(contains(outbox.take(id), "READ " + kBob + ":1 reply"));
    // A block that does not open ends the stream.
    feed(dataIq(sid, 2, "forged", "d2"));
    out = wire.take();
    EXPECT_TRUE(contains(out, "type='error' id='d2'")) << joinedTexts(out);
    EXPECT_TRUE(contains(out, "<close xmlns='http://jabber.org/protocol/ibb'")) << joinedTexts(out);
    EXPECT_EQ(outbox.take(id), (Texts{"APPLICATION " + kApp + " STREAMS"}));
}

TEST_F(XmppAccountTest, AFailedHandshakeRefusesTheStreamBeforeItIsAnnounced) {
    MarkingSealFactory marking;
    useSeals(marking);
    signInWithBob();
    const DriverHub::SessionId id = attachClient();
    outbox.take(id);
    feed(openIq(kBobFull, "s1", kApp));
    wire.take();
    EXPECT_TRUE(outbox.take(id).empty()) << "announced before the handshake";
    feed(dataIq("s1", 0, "not the greeting", "h0"));
    const Texts out = wire.take();
    EXPECT_TRUE(contains(out, "<close xmlns='http://jabber.org/protocol/ibb' sid='s1'"))
        << joinedTexts(out);
    EXPECT_TRUE(outbox.take(id).empty());
    EXPECT_EQ(hub.streamCount(), 0u);
}

TEST_F(XmppAccountTest, ASilentPeerLosesItsStreamsWithinTenSeconds) {
    signInWithBob();
    const DriverHub::SessionId id = attachClient();
    openToBob(id);
    outbox.take(id);
    wire.take();
    int elapsed = 0;
    bool pinged = false;
    while (elapsed < 10000 && hub.streamCount() != 0) {
        advance(XmppAccount::kPingTickMs);
        elapsed += XmppAccount::kPingTickMs;
        for (const std::string& xml : wire.take()) {
            pinged |= xml.find("<ping xmlns='urn:xmpp:ping'/>") != std::string::npos &&
                      attrOf(xml, "to") == kBobFull;
        }
    }
    EXPECT_TRUE(pinged);
    EXPECT_LT(elapsed, 10000);
    EXPECT_EQ(hub.streamCount(), 0u);
    EXPECT_TRUE(contains(outbox.take(id), "APPLICATION " + kApp + " STREAMS"));
}

TEST_F(XmppAccountTest, APeerThatAnswersKeepsItsStream) {
    signInWithBob();
    const DriverHub::SessionId id = attachClient();
    openToBob(id);
    wire.take();
    for (int i = 0; i < 30; ++i) {
        advance(XmppAccount::kPingTickMs);
        for (const std::string& xml : wire.take()) {
            if (xml.find("urn:xmpp:ping") != std::string::npos) {
                feed("<iq type='result' from='" + attrOf(xml, "to") + "' id='" +
                     attrOf(xml, "id") + "'/>");
            }
        }
    }
    EXPECT_EQ(hub.streamCount(), 1u);
    EXPECT_TRUE(wire.drops.empty());
}

TEST_F(XmppAccountTest, LosingTheServerEndsStreamsAndTellsTheClientNotAvailable) {
    signInWithBob();
    const DriverHub::SessionId id = attachClient();
    openToBob(id);
    outbox.take(id);
    account->onSignedOut("connection lost");
    EXPECT_EQ(outbox.take(id), (Texts{"APPLICATION " + kApp + " STREAMS", "ATTACH 3"}));
    EXPECT_EQ(hub.streamCount(), 0u);
    hub.discover(id);
    EXPECT_EQ(outbox.take(id), (Texts{"ATTACH 3"}));

    // Signed in again: attached with success, contacts and applications return.
    wire.take();
    signInWithBob();
    Texts told = outbox.take(id);
    ASSERT_FALSE(told.empty());
    EXPECT_EQ(told.front(), "ATTACH 0");
    // The client registers its application anew, as after any attach.
    hub.handleCommand(id, "CREATE APPLICATION " + kApp);
    EXPECT_EQ(outbox.take(id), (Texts{"CREATE APPLICATION " + kApp}));
    hub.handleCommand(id, "GET APPLICATION " + kApp + " CONNECTABLE");
    EXPECT_EQ(outbox.take(id).back(), "APPLICATION " + kApp + " CONNECTABLE " + kBob);
}

TEST_F(XmppAccountTest, AServerThatStopsAnsweringPingsIsDropped) {
    signInWithBob();
    wire.take();
    std::string pingId;
    for (int i = 0; i < XmppAccount::kServerPingPeriodMs / XmppAccount::kPingTickMs; ++i) {
        advance(XmppAccount::kPingTickMs);
        for (const std::string& xml : wire.take()) {
            if (xml.find("urn:xmpp:ping") != std::string::npos && attrOf(xml, "to") == "a.test") {
                pingId = attrOf(xml, "id");
            }
        }
    }
    ASSERT_FALSE(pingId.empty());
    feed("<iq type='result' from='a.test' id='" + pingId + "'/>");
    for (int i = 0; i < 2 * XmppAccount::kServerPingPeriodMs / XmppAccount::kPingTickMs + 2; ++i) {
        advance(XmppAccount::kPingTickMs);
    }
    ASSERT_EQ(wire.drops.size(), 1u);
    EXPECT_NE(wire.drops[0].find("did not answer a ping"), std::string::npos);
}

TEST_F(XmppAccountTest, PingsAndUnknownRequestsAreAnswered) {
    signInWithBob();
    wire.take();
    feed("<iq type='get' from='" + kBobFull + "' id='p1'><ping xmlns='urn:xmpp:ping'/></iq>");
    feed("<iq type='get' from='" + kBobFull + "' id='v1'><query xmlns='jabber:iq:version'/></iq>");
    const Texts out = wire.take();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0], "<iq type='result' id='p1' to='" + kBobFull + "'/>");
    EXPECT_NE(out[1].find("service-unavailable"), std::string::npos);
}

// The driver's own seals on the account: bob's side is a seal of a second
// factory, fed the blocks the account sends.
class SealedXmppAccountTest : public XmppAccountTest {
protected:
    void SetUp() override {
        XmppAccountTest::SetUp();
        std::string error;
        ASSERT_TRUE(mine.addAccount(config(kMe, "alice"), "quillon-driver --trust d.ini alice",
                                    error))
            << error;
        ASSERT_TRUE(bobs.addAccount(config(kBob, "bob"), "unused", error)) << error;
        useSeals(mine);
    }
    DriverAccountConfig config(const std::string& jid, const std::string& name) {
        DriverAccountConfig c;
        c.section = name;
        c.settings.handle = jid;
        c.xmpp.enabled = true;
        c.xmpp.jid = jid;
        c.identityPath = dir.file(name + ".identity");
        c.trustPath = dir.file(name + ".trust");
        return c;
    }
    void signInWithBobKey(EndToEndSealFactory& bobFactory) {
        account->onSignedIn(kMeFull);
        const Texts out = wire.take();
        ASSERT_FALSE(out.empty());
        feed("<iq type='result' id='" + attrOf(out[0], "id") +
             "'><query xmlns='jabber:iq:roster'><item jid='" + kBob +
             "' subscription='both'/></query></iq>");
        wire.take();
        bobAdvertises({kApp}, kBobFull, bobFactory.announcedFeatures(kBob));
    }
    std::string connectable(DriverHub::SessionId id) {
        outbox.take(id);
        hub.handleCommand(id, "GET APPLICATION " + kApp + " CONNECTABLE");
        return outbox.take(id).back();
    }
    size_t logsWith(const std::string& part) const {
        size_t n = 0;
        for (const std::string& line : factoryLog) {
            n += line.find(part) != std::string::npos ? 1 : 0;
        }
        return n;
    }

    ScratchDirectory dir;
    Texts factoryLog;
    EndToEndSealFactory mine{[this](const std::string& l) { factoryLog.push_back(l); }};
    EndToEndSealFactory bobs{[](const std::string&) {}};
};

TEST_F(SealedXmppAccountTest, TheKeyExchangeRunsThroughTheServerWhichSeesOnlyCiphertext) {
    signInWithBobKey(bobs);
    const DriverHub::SessionId id = attachClient();
    outbox.take(id);
    // The account's own key is in what it advertises.
    feed("<iq type='get' from='" + kBobFull + "' id='q1'><query "
         "xmlns='http://jabber.org/protocol/disco#info'/></iq>");
    EXPECT_TRUE(contains(wire.take(), mine.announcedFeatures(kMe).at(0)));
    ASSERT_EQ(connectable(id), "APPLICATION " + kApp + " CONNECTABLE " + kBob);

    const std::string sid = openToBob(id);
    StreamSealContext context{false, kBob, kMe, kApp, sid};
    std::unique_ptr<StreamSeal> bob = bobs.create(context);
    ASSERT_NE(bob, nullptr);
    std::vector<std::string> answer;
    ASSERT_EQ(bob->start(answer), StreamSeal::Step::kMore);
    Texts out = wire.take();
    ASSERT_EQ(out.size(), 1u);
    ASSERT_EQ(bob->receiveHandshake(dataOf(out[0]), answer), StreamSeal::Step::kMore);
    ASSERT_EQ(answer.size(), 1u);
    feed(dataIq(sid, 0, answer[0], "h0"));
    out = wire.take();
    ASSERT_EQ(out.size(), 2u) << joinedTexts(out);  // the ack of h0, block 3
    answer.clear();
    ASSERT_EQ(bob->receiveHandshake(dataOf(out[1]), answer), StreamSeal::Step::kDone)
        << bob->failure();
    EXPECT_EQ(outbox.take(id).back(), "APPLICATION " + kApp + " STREAMS " + kBob + ":1");

    hub.handleCommand(id, "ALTER APPLICATION " + kApp + " WRITE " + kBob + ":1 PASS secret-pw");
    out = wire.take();
    ASSERT_EQ(out.size(), 1u);
    const std::string block = dataOf(out[0]);
    EXPECT_EQ(block.find("secret-pw"), std::string::npos);
    EXPECT_EQ(out[0].find(xmpptext::base64("secret-pw")), std::string::npos);
    std::string text;
    ASSERT_TRUE(bob->open(block, text));
    EXPECT_EQ(text, "PASS secret-pw");

    std::string reply;
    ASSERT_TRUE(bob->seal("230 in", reply));
    feed(dataIq(sid, 1, reply, "d1"));
    EXPECT_TRUE(contains(wire.take(), "type='result' id='d1'"));
    hub.handleCommand(id, "ALTER APPLICATION " + kApp + " READ " + kBob + ":1");
    EXPECT_TRUE(contains(outbox.take(id), "READ " + kBob + ":1 230 in"));

    // DISCONNECT: the final block, then the close.
    hub.handleCommand(id, "ALTER APPLICATION " + kApp + " DISCONNECT " + kBob + ":1");
    out = wire.take();
    ASSERT_EQ(out.size(), 2u) << joinedTexts(out);
    EXPECT_FALSE(bob->open(dataOf(out[0]), text));
    EXPECT_TRUE(bob->peerEnded());
    EXPECT_NE(out[1].find("<close xmlns='http://jabber.org/protocol/ibb'"), std::string::npos);
}

TEST_F(SealedXmppAccountTest, APeerEndingProperlyIsACloseAndACutStreamIsLogged) {
    signInWithBobKey(bobs);
    const DriverHub::SessionId id = attachClient();
    outbox.take(id);
    // bob opens a stream; the account answers the handshake.
    auto bobOpens = [&](const std::string& sid, int streamId) {
        feed(openIq(kBobFull, sid, kApp));
        wire.take();
        StreamSealContext context{true, kBob, kMe, kApp, sid};
        std::unique_ptr<StreamSeal> bob = bobs.create(context);
        std::vector<std::string> blocks;
        EXPECT_EQ(bob->start(blocks), StreamSeal::Step::kMore);
        feed(dataIq(sid, 0, blocks.at(0), "h0"));
        Texts out = wire.take();
        EXPECT_EQ(out.size(), 2u) << joinedTexts(out);
        blocks.clear();
        EXPECT_EQ(bob->receiveHandshake(dataOf(out.back()), blocks), StreamSeal::Step::kDone);
        feed(dataIq(sid, 1, blocks.at(0), "h1"));
        wire.take();
        EXPECT_EQ(outbox.take(id).back(),
                  "APPLICATION " + kApp + " STREAMS " + kBob + ":" + std::to_string(streamId));
        return bob;
    };
    const std::string close = "' id='c1'><close xmlns='http://jabber.org/protocol/ibb' sid='";

    std::unique_ptr<StreamSeal> proper = bobOpens("s9", 1);
    std::string last;
    ASSERT_TRUE(proper->end(last));
    feed(dataIq("s9", 2, last, "d2"));
    EXPECT_TRUE(contains(wire.take(), "type='result' id='d2'"));
    EXPECT_EQ(hub.streamCount(), 1u) << "the close ends it, not the final block";
    feed("<iq type='set' from='" + kBobFull + close + "s9'/></iq>");
    EXPECT_EQ(outbox.take(id).back(), "APPLICATION " + kApp + " STREAMS");
    EXPECT_FALSE(contains(logs, "final block")) << joinedTexts(logs);

    // The close arrives without bob's final block: the stream was cut on the way.
    std::unique_ptr<StreamSeal> cut = bobOpens("s10", 2);
    feed("<iq type='set' from='" + kBobFull + close + "s10'/></iq>");
    EXPECT_TRUE(contains(logs, "closed without the peer's final block")) << joinedTexts(logs);
    EXPECT_EQ(outbox.take(id).back(), "APPLICATION " + kApp + " STREAMS");
}

TEST_F(SealedXmppAccountTest, AContactWithoutAKeyOrWithAnotherKeyIsVisibleButNotConnectable) {
    account->onSignedIn(kMeFull);
    feed("<iq type='result' id='" + attrOf(wire.take()[0], "id") +
         "'><query xmlns='jabber:iq:roster'><item jid='" + kBob +
         "' subscription='both'/></query></iq>");
    wire.take();
    const DriverHub::SessionId id = attachClient();
    bobAdvertises({kApp});  // a driver that publishes no key
    EXPECT_EQ(connectable(id), "APPLICATION " + kApp + " CONNECTABLE");
    EXPECT_EQ(logsWith("contact " + kBob + " publishes no single identity key"), 1u);
    // The CONNECT finds no resource to open to.
    hub.handleCommand(id, "ALTER APPLICATION " + kApp + " CONNECT " + kBob);
    EXPECT_TRUE(wire.take().empty());

    bobAdvertises({kApp}, kBobFull, bobs.announcedFeatures(kBob));
    EXPECT_EQ(connectable(id), "APPLICATION " + kApp + " CONNECTABLE " + kBob);

    // bob's account comes back with another identity.
    ScratchDirectory other;
    EndToEndSealFactory renewed([](const std::string&) {});
    DriverAccountConfig c = config(kBob, "bob");
    c.identityPath = other.file("bob.identity");
    std::string error;
    ASSERT_TRUE(renewed.addAccount(c, "unused", error)) << error;
    bobAdvertises({kApp}, kBobFull, renewed.announcedFeatures(kBob));
    EXPECT_EQ(connectable(id), "APPLICATION " + kApp + " CONNECTABLE");
    EXPECT_EQ(connectable(id), "APPLICATION " + kApp + " CONNECTABLE");
    EXPECT_EQ(logsWith("offers identity key " + renewed.fingerprint(kBob) +
                       " but the pinned key is " + bobs.fingerprint(kBob)),
              1u);
    hub.handleCommand(id, "SEARCH FRIENDS");
    EXPECT_EQ(outbox.take(id).back(), "USERS " + kBob) << "still visible";
}

TEST(XmppText, Base64RoundTripsAndRefusesGarbage) {
    const std::string all = [] {
        std::string s;
        for (int i = 0; i < 256; ++i) s += static_cast<char>(i);
        return s;
    }();
    for (size_t n : {0u, 1u, 2u, 3u, 4u, 255u, 256u}) {
        std::string back;
        ASSERT_TRUE(xmpptext::unbase64(xmpptext::base64(all.substr(0, n)), back)) << n;
        EXPECT_EQ(back, all.substr(0, n)) << n;
    }
    EXPECT_EQ(xmpptext::base64("any carnal pleas"), "YW55IGNhcm5hbCBwbGVhcw==");
    std::string out;
    for (const char* bad : {"YW5", "YW5=5", "Y=55", "YW 5", "====", "YW5!"}) {
        EXPECT_FALSE(xmpptext::unbase64(bad, out)) << bad;
    }
}

TEST(XmppText, CapsVerMatchesThePublishedExample) {
    // The simple example published with entity capabilities (XEP-0115).
    EXPECT_EQ(xmpptext::capsVer("client", "pc", "Exodus 0.9.1",
                                {"http://jabber.org/protocol/disco#info",
                                 "http://jabber.org/protocol/disco#items",
                                 "http://jabber.org/protocol/muc",
                                 "http://jabber.org/protocol/caps"}),
              "QgayPKawpkPSDYmwT/WM94uAlu0=");
}

TEST(XmppText, ApplicationNamesAreCodedForXml) {
    std::string back;
    const std::string name("Q\xff <&>%", 7);
    const std::string coded = xmpptext::percentEncoded(name);
    EXPECT_EQ(coded, "Q%FF%20%3C%26%3E%25");
    ASSERT_TRUE(xmpptext::percentDecoded(coded, back));
    EXPECT_EQ(back, name);
    EXPECT_FALSE(xmpptext::percentDecoded("a%4", back));
    EXPECT_FALSE(xmpptext::percentDecoded("a%zz", back));
}

}  // namespace
