#include "platform/DriverFrame.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace platform {

namespace driverframe {

namespace {

void putWord(std::string& out, uint32_t value) {
    out.push_back(static_cast<char>((value >> 24) & 0xFF));
    out.push_back(static_cast<char>((value >> 16) & 0xFF));
    out.push_back(static_cast<char>((value >> 8) & 0xFF));
    out.push_back(static_cast<char>(value & 0xFF));
}

uint32_t getWord(const char* p) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return (uint32_t{u[0]} << 24) | (uint32_t{u[1]} << 16) | (uint32_t{u[2]} << 8) | uint32_t{u[3]};
}

std::string frameOf(char type, std::string_view body) {
    std::string out;
    out.reserve(kHeaderBytes + body.size());
    putWord(out, static_cast<uint32_t>(body.size()));
    out.push_back(type);
    out.append(body);
    return out;
}

}  // namespace

int32_t Frame::word() const {
    if (body.size() < kWordBytes) {
        return 0;
    }
    return static_cast<int32_t>(getWord(body.data()));
}

uint32_t Frame::tag() const {
    return body.size() < kWordBytes ? 0 : getWord(body.data());
}

std::string_view Frame::block() const {
    if (body.size() < kWordBytes) {
        return {};
    }
    return std::string_view(body).substr(kWordBytes);
}

std::string encodeDiscover() {
    return frameOf(kDiscover, {});
}

std::string encodeAttach(int32_t code) {
    std::string body;
    putWord(body, static_cast<uint32_t>(code));
    return frameOf(kAttach, body);
}

std::string encodeResult(int32_t result) {
    std::string body;
    putWord(body, static_cast<uint32_t>(result));
    return frameOf(kResult, body);
}

void encodeCopyDataInto(std::string& out, uint32_t tag, const void* block, size_t byteCount) {
    out.clear();
    if (byteCount > kMaxBlockBytes) {
        return;
    }
    out.reserve(kHeaderBytes + kWordBytes + byteCount);
    putWord(out, static_cast<uint32_t>(kWordBytes + byteCount));
    out.push_back(kCopyData);
    putWord(out, tag);
    if (byteCount > 0) {
        out.append(static_cast<const char*>(block), byteCount);
    }
}

std::string encodeCopyData(uint32_t tag, const void* block, size_t byteCount) {
    std::string out;
    encodeCopyDataInto(out, tag, block, byteCount);
    return out;
}

bool encodeTextHeader(std::string_view text, char (&header)[kTextHeaderBytes]) {
    if (text.size() + 1 > kMaxBlockBytes) {
        return false;
    }
    const uint32_t length = static_cast<uint32_t>(kWordBytes + text.size() + 1);
    for (size_t i = 0; i < kWordBytes; ++i) {
        header[i] = static_cast<char>((length >> (8 * (kWordBytes - 1 - i))) & 0xFF);
    }
    header[kWordBytes] = kCopyData;
    std::memset(header + kHeaderBytes, 0, kWordBytes);  // tag 0
    return true;
}

std::string encodeText(std::string_view text) {
    if (text.size() + 1 > kMaxBlockBytes) {
        return {};
    }
    std::string out;
    out.reserve(kTextHeaderBytes + text.size() + 1);
    putWord(out, static_cast<uint32_t>(kWordBytes + text.size() + 1));
    out.push_back(kCopyData);
    putWord(out, 0);
    out.append(text);
    out.push_back('\0');
    return out;
}

}  // namespace driverframe

size_t DriverFrameReader::push(const char* data, size_t n) {
    size_t used = 0;
    while (used < n && !failed && !complete) {
        if (header.size() < driverframe::kHeaderBytes) {
            const size_t take = std::min(n - used, driverframe::kHeaderBytes - header.size());
            header.append(data + used, take);
            used += take;
            if (header.size() == driverframe::kHeaderBytes && !checkHeader()) {
                break;
            }
            continue;
        }
        bodyStarted = true;
        const size_t take = std::min(n - used, expected - body.size());
        body.append(data + used, take);
        used += take;
        if (body.size() == expected) {
            complete = true;
        }
    }
    return used;
}

bool DriverFrameReader::checkHeader() {
    expected = driverframe::getWord(header.data());
    const char type = header[4];
    char text[96];
    if (expected > driverframe::kMaxBodyBytes) {
        std::snprintf(text, sizeof text, "frame of %zu bytes over the limit of %zu", expected,
                      driverframe::kMaxBodyBytes);
        error = text;
        failed = true;
        return false;
    }
    bool sizeOk = false;
    switch (type) {
        case driverframe::kDiscover:
            sizeOk = expected == 0;
            break;
        case driverframe::kAttach:
        case driverframe::kResult:
            sizeOk = expected == driverframe::kWordBytes;
            break;
        case driverframe::kCopyData:
            sizeOk = expected >= driverframe::kWordBytes;
            break;
        default:
            std::snprintf(text, sizeof text, "unknown frame type 0x%02x",
                          static_cast<unsigned char>(type));
            error = text;
            failed = true;
            return false;
    }
    if (!sizeOk) {
        std::snprintf(text, sizeof text, "frame '%c' with a body of %zu bytes", type, expected);
        error = text;
        failed = true;
        return false;
    }
    body.clear();
    body.reserve(expected);
    if (expected == 0) {
        complete = true;
    }
    return true;
}

DriverFrameReader::Result DriverFrameReader::next(driverframe::Frame& frame) {
    if (failed) {
        return Result::kError;
    }
    if (!complete) {
        return Result::kNeedMore;
    }
    frame.type = header[4];
    frame.body.swap(body);
    body.clear();
    header.clear();
    expected = 0;
    bodyStarted = false;
    complete = false;
    return Result::kFrame;
}

}  // namespace platform
