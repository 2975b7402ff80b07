#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/DriverFrame.h"

namespace df = platform::driverframe;
using platform::DriverFrameReader;

namespace {
// Feeds bytes in pieces of `step` and collects the frames.
std::vector<df::Frame> readAll(DriverFrameReader& reader, const std::string& bytes, size_t step) {
    std::vector<df::Frame> frames;
    size_t at = 0;
    while (at < bytes.size()) {
        const size_t piece = std::min(step, bytes.size() - at);
        size_t used = 0;
        while (used < piece) {
            used += reader.push(bytes.data() + at + used, piece - used);
            df::Frame frame;
            const auto result = reader.next(frame);
            if (result == DriverFrameReader::Result::kError) {
                return frames;
            }
            if (result == DriverFrameReader::Result::kFrame) {
                frames.push_back(frame);
            }
        }
        at += piece;
    }
    return frames;
}
}  // namespace

TEST(DriverFrame, FramesSurviveAnySplitOfTheByteStream) {
    const std::string text(300, 'x');
    const std::string bytes = df::encodeDiscover() + df::encodeAttach(0x8001) +
                              df::encodeText(text) + df::encodeResult(-1) +
                              df::encodeCopyData(7, "", 0);
    for (size_t step : {size_t{1}, size_t{2}, size_t{5}, size_t{64}, bytes.size()}) {
        SCOPED_TRACE("step " + std::to_string(step));
        DriverFrameReader reader;
        const auto frames = readAll(reader, bytes, step);
        ASSERT_EQ(frames.size(), 5u);
        EXPECT_EQ(frames[0].type, df::kDiscover);
        EXPECT_EQ(frames[1].type, df::kAttach);
        EXPECT_EQ(frames[1].word(), 0x8001);
        EXPECT_EQ(frames[2].type, df::kCopyData);
        EXPECT_EQ(frames[2].tag(), 0u);
        EXPECT_EQ(frames[2].block(), text + std::string(1, '\0'));
        EXPECT_EQ(frames[3].word(), -1);
        EXPECT_EQ(frames[4].tag(), 7u);
        EXPECT_EQ(frames[4].block().size(), 0u);
        EXPECT_FALSE(reader.midFrame());
    }
}

TEST(DriverFrame, TheLargestBlockFitsAndOneByteMoreIsRefused) {
    const std::string largest(df::kMaxBlockBytes, 'a');
    EXPECT_FALSE(df::encodeCopyData(0, largest.data(), largest.size()).empty());
    EXPECT_TRUE(df::encodeCopyData(0, largest.data(), largest.size() + 1).empty());
    // A WRITE of 65535 bytes of text with long names fits one block.
    const std::string write = "ALTER APPLICATION " + std::string(99, 'n') + " WRITE " +
                              std::string(49, 'u') + ":2147483647 " + std::string(65535, 'h');
    EXPECT_LT(write.size() + 1, df::kMaxBlockBytes);

    DriverFrameReader reader;
    const std::string frame = df::encodeCopyData(0, largest.data(), largest.size());
    EXPECT_EQ(readAll(reader, frame, 4096).size(), 1u);
}

struct BadHeaderRow {
    const char* name;
    std::string bytes;
};

TEST(DriverFrame, BadHeadersPutTheReaderInErrorForGood) {
    const BadHeaderRow rows[] = {
        {"body over the limit", std::string("\x00\x01\x01\x05", 4) + "C"},
        {"huge length", std::string("\xff\xff\xff\xff", 4) + "C"},
        {"unknown type", std::string("\x00\x00\x00\x00", 4) + "Q"},
        {"attach of 3 bytes", std::string("\x00\x00\x00\x03", 4) + "Aabc"},
        {"result of 5 bytes", std::string("\x00\x00\x00\x05", 4) + "Rabcde"},
        {"discover with a body", std::string("\x00\x00\x00\x01", 4) + "Dx"},
        {"copy data without its tag", std::string("\x00\x00\x00\x02", 4) + "Cab"},
    };
    for (const BadHeaderRow& row : rows) {
        SCOPED_TRACE(row.name);
        DriverFrameReader reader;
        readAll(reader, row.bytes + df::encodeDiscover(), 1);
        EXPECT_TRUE(reader.inError());
        EXPECT_FALSE(reader.errorText().empty());
        df::Frame frame;
        EXPECT_EQ(reader.next(frame), DriverFrameReader::Result::kError);
    }
}

TEST(DriverFrame, AHalfFrameIsNoticedAsMidFrame) {
    DriverFrameReader reader;
    const std::string frame = df::encodeText("SEARCH FRIENDS");
    reader.push(frame.data(), 3);
    EXPECT_TRUE(reader.midFrame());
    df::Frame out;
    EXPECT_EQ(reader.next(out), DriverFrameReader::Result::kNeedMore);
}

// The frames built in place (a reused string, a header for text sent from
// where it lies) are the very bytes of the ordinary encoders, whatever the
// string held before; over the limit they are empty / refused alike.
TEST(DriverFrame, FramesBuiltInPlaceEqualTheOrdinaryEncoding) {
    const std::vector<std::string> texts = {"", "PING", std::string(df::kMaxBlockBytes - 1, 'a'),
                                            std::string(df::kMaxBlockBytes, 'b')};
    std::string reused = "stale bytes from an earlier, longer frame: " + std::string(300, 'z');
    for (const std::string& text : texts) {
        const std::string ordinary = df::encodeText(text);
        char header[df::kTextHeaderBytes];
        const bool fits = df::encodeTextHeader(text, header);
        EXPECT_EQ(fits, !ordinary.empty()) << "text of " << text.size() << " bytes";
        if (fits) {
            EXPECT_EQ(std::string(header, sizeof header) + text + std::string(1, '\0'), ordinary)
                << "text of " << text.size() << " bytes";
        }
        std::string block = text;
        block.push_back('\0');
        df::encodeCopyDataInto(reused, 7, block.data(), block.size());
        EXPECT_EQ(reused, df::encodeCopyData(7, block.data(), block.size()))
            << "text of " << text.size() << " bytes";
        EXPECT_EQ(reused.empty(), ordinary.empty()) << "text of " << text.size() << " bytes";
    }
}
