#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// The framing of the driver transport: the byte stream on the Unix socket
// between a gateway (or the console) and quillon-driver. Both sides build
// their frames here, so the format lives in one place (docs/driver-protocol.md
// describes it for other programs).
//
//   frame  = length (4 bytes, big-endian, counts the body only)
//            type   (1 byte)
//            body   (length bytes)
//
//   'D' discover   gateway -> driver   empty body
//   'A' attach     driver  -> gateway  4 bytes: the attach code, big-endian
//   'C' copy data  both ways           4 bytes tag (big-endian), then the
//                                      block's bytes (text and its NUL)
//   'R' result     driver  -> gateway  4 bytes: the driver's result for the
//                                      copy-data block the gateway sent last
namespace driverframe {

constexpr char kDiscover = 'D';
constexpr char kAttach = 'A';
constexpr char kCopyData = 'C';
constexpr char kResult = 'R';

constexpr size_t kHeaderBytes = 5;
constexpr size_t kWordBytes = 4;
// The largest copy-data block: the system's long command buffer, 65792 bytes,
// which holds a WRITE of 65535 bytes of text with its command words.
constexpr size_t kMaxBlockBytes = 65792;
constexpr size_t kMaxBodyBytes = kWordBytes + kMaxBlockBytes;

struct Frame {
    char type = 0;
    std::string body;  // as received; for 'A' and 'R' exactly 4 bytes

    // For 'A' and 'R': the 32-bit value of the body.
    int32_t word() const;
    // For 'C': the tag and the block's bytes (the text up to and with its NUL).
    uint32_t tag() const;
    std::string_view block() const;
};

std::string encodeDiscover();
std::string encodeAttach(int32_t code);
std::string encodeResult(int32_t result);
// block: the bytes of the copy-data block; byteCount <= kMaxBlockBytes, or
// the encoding is empty (the caller treats that as a failed send).
std::string encodeCopyData(uint32_t tag, const void* block, size_t byteCount);
// The text of a command or notification as a block: text, then one NUL.
std::string encodeText(std::string_view text);
// The same frames written into `out`, replacing what it held. `out` keeps
// its capacity, so a sender that reuses one string allocates nothing per
// frame. An encoding that would be empty above leaves `out` empty.
void encodeCopyDataInto(std::string& out, uint32_t tag, const void* block, size_t byteCount);
// The header of the copy-data frame of `text` as a text block (tag 0), to be
// followed by the text's bytes and one NUL: kHeaderBytes + kWordBytes bytes
// into `header`. False (nothing written) for a text over the block limit.
constexpr size_t kTextHeaderBytes = kHeaderBytes + kWordBytes;
bool encodeTextHeader(std::string_view text, char (&header)[kTextHeaderBytes]);

}  // namespace driverframe

// Turns the bytes read from a socket back into frames. Bounded: it never
// holds more than one frame's header and body. A frame that is too large, of
// an unknown type or of the wrong size for its type is a protocol error; the
// reader then stays in error and the owner closes the connection.
//
// Works on plain byte buffers, so a fuzzer can drive it without sockets.
class DriverFrameReader {
public:
    enum class Result { kNeedMore, kFrame, kError };

    // Takes up to n bytes from data; returns how many it consumed. It stops
    // after a complete frame (so frames come out one at a time, in order) and
    // after an error.
    size_t push(const char* data, size_t n);

    // kFrame: frame holds the next frame and the reader is ready for more.
    // kNeedMore: more bytes are needed. kError: see errorText().
    Result next(driverframe::Frame& frame);

    bool inError() const { return failed; }
    const std::string& errorText() const { return error; }
    // Whether a frame has been started but not finished (a peer that goes
    // away now vanished mid-frame).
    bool midFrame() const { return header.size() > 0 || bodyStarted; }

private:
    bool checkHeader();

    std::string header;  // up to kHeaderBytes
    std::string body;    // up to the announced length
    size_t expected = 0;
    bool bodyStarted = false;
    bool complete = false;
    bool failed = false;
    std::string error;
};

}  // namespace platform
