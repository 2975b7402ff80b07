#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// What a bytestream between two drivers asks of end-to-end sealing, so that a
// messaging server carries only what the two drivers agreed to show it.
//
// The bytestream creates one seal per stream when the stream opens (on both
// sides: the side that opened it is the initiator). Before the stream is
// announced to either gateway, the two seals exchange handshake blocks: the
// bytestream sends every block a seal appends to `out`, in order, and hands
// every block the peer sent to receiveHandshake, until the seal answers kDone
// (the stream is then announced) or kFailed (the stream ends, unannounced).
// Blocks arrive in the order they were sent, so a block that reaches a side
// whose seal is done is a sealed write, never a handshake block.
//
// Afterwards every WRITE's text passes through seal() on the writer's side,
// travels as one block, and through open() on the reader's side. A block
// that does not open (forged, replayed, reordered, cut) ends the stream.
//
// Single-threaded: every call on the driver's loop thread.
class StreamSeal {
public:
    enum class Step { kMore, kDone, kFailed };

    // A handshake block is at most this long; a sealed block at most this
    // much longer than the text it seals.
    static constexpr size_t kMaxHandshakeBlockBytes = 16 * 1024;
    static constexpr size_t kMaxOverheadBytes = 1024;
    // More handshake blocks than this from one side fail the stream.
    static constexpr int kMaxHandshakeBlocks = 16;

    virtual ~StreamSeal() = default;

    // Called once, as the stream opens; appends the first blocks to send
    // (often none on the side that did not open the stream).
    virtual Step start(std::vector<std::string>& out) = 0;
    // One handshake block of the peer; appends the blocks to answer with.
    virtual Step receiveHandshake(std::string_view block, std::vector<std::string>& out) = 0;
    // After kDone. false ends the stream.
    virtual bool seal(std::string_view text, std::string& block) = 0;
    virtual bool open(std::string_view block, std::string& text) = 0;
    // Why the last step failed, for the driver's log (never key material).
    virtual std::string failure() const = 0;

    // Ending a stream properly. A seal that marks the end appends the block
    // that says so (sent as the last data block, before the bytestream's
    // close) and answers true; the peer's open() then fails with peerEnded()
    // true, which is the proper end and not a broken block. A close that
    // arrives before that block, from a seal that marks its end, means the
    // stream was cut on the way.
    virtual bool end(std::string& /*block*/) { return false; }
    virtual bool peerEnded() const { return false; }
    virtual bool marksTheEnd() const { return false; }
};

// What a seal is created for.
struct StreamSealContext {
    bool initiator = false;   // this side opened the stream
    std::string localJid;     // bare JID of this side's account
    std::string peerJid;      // bare JID of the contact at the other end
    std::string application;  // the registered application the stream serves
    std::string sid;          // the bytestream's session id (unique per stream)
};

// Makes the seals of the driver's streams. The driver holds one for all of
// its XMPP accounts.
class StreamSealFactory {
public:
    virtual ~StreamSealFactory() = default;
    // nullptr: no seal can be made for this stream; the stream is refused.
    virtual std::unique_ptr<StreamSeal> create(const StreamSealContext& context) = 0;

    // Service-discovery features an account announces beside its
    // applications (for example the public key its seals use).
    virtual std::vector<std::string> announcedFeatures(const std::string& /*localJid*/) {
        return {};
    }
    // Whether a contact's resource that advertises these features may be
    // offered streams (listed as CONNECTABLE, opened to); false keeps the
    // contact visible but not connectable.
    virtual bool contactUsable(const std::string& /*localJid*/, const std::string& /*peerJid*/,
                               const std::vector<std::string>& /*features*/) {
        return true;
    }
};
