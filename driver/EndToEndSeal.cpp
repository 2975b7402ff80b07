#include "driver/EndToEndSeal.h"

#include <deque>

EndToEndSeal::EndToEndSeal(std::shared_ptr<const void> keepAlive, const Identity& identity,
                           const StreamSealContext& context, KeyExchange::PeerCheck peerCheck)
    : keepAlive(std::move(keepAlive)),
      initiator(context.initiator),
      stream(context.initiator ? KeyExchange::Role::kInitiator : KeyExchange::Role::kResponder,
             identity, context.initiator ? context.localJid : context.peerJid,
             context.initiator ? context.peerJid : context.localJid, contextOf(context),
             std::move(peerCheck)) {}

std::string EndToEndSeal::contextOf(const StreamSealContext& context) {
    // Two length-free fields joined by a byte neither may hold: an
    // application name has no space and the session id is ours to check.
    return context.application + " " + context.sid;
}

StreamSeal::Step EndToEndSeal::start(std::vector<std::string>& out) {
    if (!initiator) {
        return Step::kMore;  // the initiator's first block comes to us
    }
    std::string block;
    if (!stream.start(block)) {
        return Step::kFailed;
    }
    out.push_back(std::move(block));
    return Step::kMore;
}

StreamSeal::Step EndToEndSeal::receiveHandshake(std::string_view block,
                                                std::vector<std::string>& out) {
    std::deque<std::string> answers;
    std::string payload;
    const SealedStream::Event event = stream.receive(block, answers, payload);
    for (std::string& answer : answers) {
        out.push_back(std::move(answer));
    }
    switch (event) {
    case SealedStream::Event::kNothing:
        return Step::kMore;
    case SealedStream::Event::kOpened:
        return Step::kDone;
    case SealedStream::Event::kFailed:
        return Step::kFailed;
    case SealedStream::Event::kData:
    case SealedStream::Event::kPeerEnded:
        break;
    }
    extraFailure = "the peer sent data before the key exchange finished";
    return Step::kFailed;
}

bool EndToEndSeal::seal(std::string_view text, std::string& block) {
    std::deque<std::string> out;
    if (stream.state() != SealedStream::State::kOpen || !stream.write(text, out) ||
        out.size() != 1) {
        extraFailure = "the stream is not open for writing";
        return false;
    }
    block = std::move(out.front());
    return true;
}

bool EndToEndSeal::open(std::string_view block, std::string& text) {
    std::deque<std::string> out;
    return stream.receive(block, out, text) == SealedStream::Event::kData;
}

bool EndToEndSeal::end(std::string& block) {
    return stream.state() == SealedStream::State::kOpen && stream.end(block);
}

std::string EndToEndSeal::failure() const {
    if (!stream.failureText().empty()) {
        return stream.failureText();
    }
    return extraFailure.empty() ? "no failure" : extraFailure;
}
