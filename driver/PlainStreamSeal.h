#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "driver/StreamSeal.h"

// The seal that seals nothing: no handshake, every block the text itself.
// A test double for the bytestream, and what the driver runs with until its
// end-to-end sealing is built in (it says so at start).
class PlainStreamSeal final : public StreamSeal {
public:
    Step start(std::vector<std::string>&) override { return Step::kDone; }
    Step receiveHandshake(std::string_view, std::vector<std::string>&) override {
        return Step::kFailed;  // it never expects one
    }
    bool seal(std::string_view text, std::string& block) override {
        block.assign(text);
        return true;
    }
    bool open(std::string_view block, std::string& text) override {
        text.assign(block);
        return true;
    }
    std::string failure() const override { return "no handshake expected"; }
};

class PlainStreamSealFactory final : public StreamSealFactory {
public:
    std::unique_ptr<StreamSeal> create(const StreamSealContext&) override {
        return std::make_unique<PlainStreamSeal>();
    }
};
