#include "tcp/XR_QUE.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "TcpTestSupport.h"

namespace {

using tcptest::TraceCapture;

std::vector<uint8_t> filled(size_t size, uint8_t value) {
    return std::vector<uint8_t>(size, value);
}

TEST(XR_QUE, SizeLimitIsTheSlotSize) {
    struct Row {
        size_t size;
        int result;
        const char* trace;  // nullptr: none expected
    };
    const Row rows[] = {
        {0, 1, nullptr},
        {40, 1, nullptr},
        {30975, 1, nullptr},
        {30976, 1, nullptr},
        {30977, 0, "ENQENTRY DATA_SIZE_OVER:size=30977\n"},
        {65535, 0, "ENQENTRY DATA_SIZE_OVER:size=65535\n"},
    };
    for (const Row& row : rows) {
        XR_QUE queue;
        TraceCapture traces;
        const auto entry = filled(row.size, 0x5a);
        EXPECT_EQ(queue.enqueue(entry.data(), static_cast<unsigned>(row.size)), row.result)
            << "size " << row.size;
        EXPECT_EQ(queue.freeCount(), 30 - row.result) << "size " << row.size;
        if (row.trace != nullptr) {
            EXPECT_EQ(traces.snapshot(), std::vector<std::string>{row.trace})
                << "size " << row.size;
        } else {
            EXPECT_TRUE(traces.snapshot().empty()) << "size " << row.size;
        }
    }
}

TEST(XR_QUE, ThirtyFitTheThirtyFirstIsRefusedUntilOneIsTaken) {
    XR_QUE queue;
    TraceCapture traces;
    uint8_t entry[40] = {};
    for (int i = 0; i < 30; ++i) {
        entry[0] = static_cast<uint8_t>(i);
        ASSERT_EQ(queue.enqueue(entry, sizeof entry), 1) << "entry " << i;
        EXPECT_EQ(queue.freeCount(), 29 - i);
    }
    EXPECT_EQ(queue.canEnqueue(), 0);
    EXPECT_EQ(queue.enqueue(entry, sizeof entry), 0);
    EXPECT_EQ(traces.snapshot(), std::vector<std::string>{"ENQUE ENTRY_OVER\n"});
    EXPECT_EQ(queue.getCount(), 30);

    std::vector<uint8_t> out(XR_QUE::kSlotBytes);
    ASSERT_EQ(queue.dequeue(out.data()), 1);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(queue.canEnqueue(), 1);
    EXPECT_EQ(queue.enqueue(entry, sizeof entry), 1);
    EXPECT_EQ(queue.freeCount(), 0);
}

TEST(XR_QUE, OrderIsKeptAcrossTheWrap) {
    XR_QUE queue;
    TraceCapture traces;
    std::vector<uint8_t> out(XR_QUE::kSlotBytes);
    int nextIn = 0;
    int nextOut = 0;
    // Fill 20, take 15, then alternate bursts so the indices pass slot 29
    // several times.
    auto put = [&](int n) {
        for (int i = 0; i < n; ++i, ++nextIn) {
            uint32_t value = static_cast<uint32_t>(nextIn);
            ASSERT_EQ(queue.enqueue(&value, sizeof value), 1) << "in " << nextIn;
        }
    };
    auto take = [&](int n) {
        for (int i = 0; i < n; ++i, ++nextOut) {
            ASSERT_EQ(queue.dequeue(out.data()), 1) << "out " << nextOut;
            uint32_t value;
            std::memcpy(&value, out.data(), sizeof value);
            ASSERT_EQ(value, static_cast<uint32_t>(nextOut));
        }
    };
    put(20);
    take(15);
    for (int round = 0; round < 6; ++round) {
        put(25);
        take(25);
    }
    take(5);
    EXPECT_GT(nextIn, 120);
    EXPECT_EQ(queue.dequeue(out.data()), 0);
}

TEST(XR_QUE, AShortEntryComesOutAsAWholeSlotWithStaleBytesBehind) {
    XR_QUE queue;
    TraceCapture traces;
    std::vector<uint8_t> out(XR_QUE::kSlotBytes, 0);
    const auto big = filled(XR_QUE::kSlotBytes, 0xaa);
    // Use slot 0 with a full entry, go round the ring, then put a short one
    // into slot 0 again.
    ASSERT_EQ(queue.enqueue(big.data(), static_cast<unsigned>(big.size())), 1);
    ASSERT_EQ(queue.dequeue(out.data()), 1);
    uint8_t small[40];
    for (int i = 1; i < 30; ++i) {
        ASSERT_EQ(queue.enqueue(small, sizeof small), 1);
        ASSERT_EQ(queue.dequeue(out.data()), 1);
    }
    const auto packet = tcptest::makePacket(kKindNull, 0, 0);
    ASSERT_EQ(tcptest::enqueuePacket(queue, packet), 1);
    std::fill(out.begin(), out.end(), 0);
    ASSERT_EQ(queue.dequeue(out.data()), 1);
    EXPECT_EQ(std::memcmp(out.data(), packet.data(), packet.size()), 0);
    for (size_t i = packet.size(); i < out.size(); ++i) {
        ASSERT_EQ(out[i], 0xaa) << "byte " << i;
    }
}

TEST(XR_QUE, ResetDropsEverythingAndTraces) {
    XR_QUE queue;
    TraceCapture traces;
    uint8_t entry[40] = {};
    for (int i = 0; i < 7; ++i) {
        ASSERT_EQ(queue.enqueue(entry, sizeof entry), 1);
    }
    queue.reset();
    EXPECT_EQ(traces.snapshot(), std::vector<std::string>{"RESET QUE\n"});
    EXPECT_EQ(queue.freeCount(), 30);
    EXPECT_EQ(queue.canEnqueue(), 1);
    std::vector<uint8_t> out(XR_QUE::kSlotBytes);
    EXPECT_EQ(queue.dequeue(out.data()), 0);
    // After a reset the ring starts again at slot 0 and keeps its order.
    uint32_t value = 77;
    ASSERT_EQ(queue.enqueue(&value, sizeof value), 1);
    ASSERT_EQ(queue.dequeue(out.data()), 1);
    EXPECT_EQ(std::memcmp(out.data(), &value, sizeof value), 0);
}

TEST(XR_QUE, DequeueOnEmptyLeavesTheDestinationAlone) {
    XR_QUE queue;
    std::vector<uint8_t> out(XR_QUE::kSlotBytes, 0x3c);
    EXPECT_EQ(queue.dequeue(out.data()), 0);
    for (uint8_t b : out) {
        ASSERT_EQ(b, 0x3c);
    }
    EXPECT_EQ(queue.freeCount(), 30);
}

}  // namespace

namespace {

// dequeueEntry hands out exactly the bytes each entry was enqueued with, in
// order and across the wrap, and leaves the rest of the destination alone.
TEST(XR_QUE, DequeueEntryCopiesOnlyTheEntrysBytes) {
    XR_QUE queue;
    const size_t sizes[] = {40, 10280, 0, 30976, 1};
    std::vector<uint8_t> dest(XR_QUE::kSlotBytes, 0xee);
    for (int round = 0; round < 8; ++round) {  // 40 entries: past the wrap at 30
        for (size_t i = 0; i < std::size(sizes); ++i) {
            const auto entry = filled(sizes[i], static_cast<uint8_t>(round * 8 + i + 1));
            ASSERT_EQ(queue.enqueue(entry.data(), static_cast<unsigned>(sizes[i])), 1);
        }
        for (size_t i = 0; i < std::size(sizes); ++i) {
            std::fill(dest.begin(), dest.end(), 0xee);
            unsigned size = 12345;
            ASSERT_EQ(queue.dequeueEntry(dest.data(), dest.size(), &size), 1)
                << "round " << round << " entry " << i;
            EXPECT_EQ(size, sizes[i]) << "round " << round << " entry " << i;
            const uint8_t value = static_cast<uint8_t>(round * 8 + i + 1);
            EXPECT_EQ(std::count(dest.begin(), dest.begin() + sizes[i], value),
                      static_cast<long>(sizes[i]))
                << "round " << round << " entry " << i;
            EXPECT_EQ(std::count(dest.begin() + sizes[i], dest.end(), 0xee),
                      static_cast<long>(dest.size() - sizes[i]))
                << "round " << round << " entry " << i << ": bytes past the entry were written";
        }
    }
    EXPECT_EQ(queue.freeCount(), 30);
}

TEST(XR_QUE, DequeueEntryOnAnEmptyQueueOrIntoTooSmallABufferTakesNothing) {
    XR_QUE queue;
    std::vector<uint8_t> dest(XR_QUE::kSlotBytes, 0xee);
    unsigned size = 7;
    EXPECT_EQ(queue.dequeueEntry(dest.data(), dest.size(), &size), 0);
    EXPECT_EQ(size, 7u);
    EXPECT_EQ(std::count(dest.begin(), dest.end(), 0xee), static_cast<long>(dest.size()));

    const auto entry = filled(40, 0x11);
    ASSERT_EQ(queue.enqueue(entry.data(), 40), 1);
    EXPECT_EQ(queue.dequeueEntry(dest.data(), XR_QUE::kSlotBytes - 1, &size), 0);
    EXPECT_EQ(queue.getCount(), 1) << "the entry stays queued";
    EXPECT_EQ(queue.dequeueEntry(dest.data(), dest.size(), &size), 1);
    EXPECT_EQ(size, 40u);
}

}  // namespace
