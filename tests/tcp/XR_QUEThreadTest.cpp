#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "tcp/XR_QUE.h"

namespace {

// One producer and one consumer thread, as a socket's worker and the stream
// use a queue: every entry arrives once, in order, whole.
TEST(XR_QUEThreads, OneProducerOneConsumerKeepOrderAndContent) {
    constexpr uint32_t kEntries = 20000;
    constexpr size_t kEntryBytes = 1000;
    XR_QUE queue;
    std::thread producer([&] {
        uint8_t entry[kEntryBytes];
        for (uint32_t i = 0; i < kEntries;) {
            std::memset(entry, static_cast<int>(i & 0xff), sizeof entry);
            std::memcpy(entry, &i, sizeof i);
            if (queue.canEnqueue() != 0) {
                ASSERT_EQ(queue.enqueue(entry, sizeof entry), 1);
                ++i;
            } else {
                std::this_thread::yield();
            }
        }
    });
    std::vector<uint8_t> slot(XR_QUE::kSlotBytes);
    uint32_t expected = 0;
    while (expected < kEntries) {
        if (queue.dequeue(slot.data()) == 0) {
            std::this_thread::yield();
            continue;
        }
        uint32_t value;
        std::memcpy(&value, slot.data(), sizeof value);
        ASSERT_EQ(value, expected);
        for (size_t b = sizeof value; b < kEntryBytes; ++b) {
            ASSERT_EQ(slot[b], expected & 0xff) << "entry " << expected << " byte " << b;
        }
        ++expected;
    }
    producer.join();
    EXPECT_EQ(queue.freeCount(), 30);
}

}  // namespace
