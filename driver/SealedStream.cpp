#include "driver/SealedStream.h"

SealedStream::SealedStream(Role role, const Identity& own, std::string initiatorJid,
                           std::string responderJid, std::string context,
                           KeyExchange::PeerCheck peerCheck)
    : exchange(role, own, std::move(initiatorJid), std::move(responderJid), std::move(context),
               std::move(peerCheck)) {}

SealedStream::Event SealedStream::fail(const std::string& why) {
    current = State::kFailed;
    failure = why;
    blocks.reset();
    waiting.clear();
    waitingBytes = 0;
    return Event::kFailed;
}

bool SealedStream::start(std::string& block) {
    if (!exchange.start(block)) {
        fail(exchange.state() == KeyExchange::State::kFailed ? exchange.failureText()
                                                               : "cannot start the key exchange");
        return false;
    }
    return true;
}

SealedStream::Event SealedStream::receive(std::string_view block, std::deque<std::string>& out,
                                          std::string& payload) {
    payload.clear();
    switch (current) {
    case State::kFailed:
        return Event::kFailed;
    case State::kEnded:
        return fail("a block arrived after the peer ended the stream");
    case State::kHandshake: {
        std::string answer;
        const KeyExchange::State state = exchange.receive(block, answer);
        if (state == KeyExchange::State::kFailed) {
            return fail(exchange.failureText());
        }
        if (!answer.empty()) {
            out.push_back(std::move(answer));
        }
        if (state == KeyExchange::State::kRunning) {
            return Event::kNothing;
        }
        blocks = std::make_unique<SealedBlocks>(exchange.sendKey(), exchange.receiveKey());
        current = State::kOpen;
        while (!waiting.empty()) {
            std::string sealed;
            if (!blocks->seal(waiting.front(), sealed)) {
                return fail("cannot seal a waiting write");
            }
            out.push_back(std::move(sealed));
            waitingBytes -= waiting.front().size();
            waiting.pop_front();
        }
        return Event::kOpened;
    }
    case State::kOpen:
        break;
    }
    switch (blocks->open(block, payload)) {
    case SealedBlocks::Opened::kData:
        return Event::kData;
    case SealedBlocks::Opened::kFinal:
        current = State::kEnded;
        return Event::kPeerEnded;
    case SealedBlocks::Opened::kBroken:
        break;
    }
    return fail("a block of the stream does not open (dropped, replayed, reordered or altered "
                "on the way)");
}

bool SealedStream::write(std::string_view payload, std::deque<std::string>& out) {
    if (payload.size() > SealedBlocks::kMaxPayloadBytes) {
        return false;
    }
    if (current == State::kOpen) {
        std::string sealed;
        if (!blocks->seal(payload, sealed)) {
            return false;
        }
        out.push_back(std::move(sealed));
        return true;
    }
    if (current != State::kHandshake || waiting.size() >= kMaxWaitingWrites ||
        waitingBytes + payload.size() > kMaxWaitingBytes) {
        return false;
    }
    waiting.emplace_back(payload);
    waitingBytes += payload.size();
    return true;
}

bool SealedStream::end(std::string& block) {
    block.clear();
    if (!blocks) {
        return false;
    }
    return blocks->sealFinal(block);
}
