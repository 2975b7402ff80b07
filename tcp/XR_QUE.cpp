#include "tcp/XR_QUE.h"

#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "platform/Trace.h"

XR_QUE::XR_QUE() : storage(new uint8_t[kStorageBytes]()) {
    std::strcpy(name, "XR_QUE");  // fixed text
    // std::mutex cannot fail to be created, so the construction trace for a
    // mutex error has no case here.
    reset();
}

void XR_QUE::reset() {
    {
        std::lock_guard<std::mutex> guard(lock);
        count.store(0);
        writeIndex = 0;
        readIndex = 0;
    }
    platform::trace("RESET QUE\n");
}

int XR_QUE::enqueue(const void* entry, unsigned size) {
    if (size > kSlotBytes) {
        platform::trace("ENQENTRY DATA_SIZE_OVER:size=%d\n", static_cast<int>(size));
        return 0;
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        if (count.load() >= kCapacity) {
            platform::trace("ENQUE ENTRY_OVER\n");
            return 0;
        }
        if (size > 0) {
            std::memcpy(storage.get() + static_cast<size_t>(writeIndex) * kSlotBytes, entry, size);
        }
        sizes[writeIndex] = size;
        count.fetch_add(1);
        writeIndex = (writeIndex + 1) % kCapacity;
    }
    wakeConsumer();
    return 1;
}

void XR_QUE::wakeConsumer() {
    // The count was raised (or the consumer's other reason to wake set)
    // before this look at the flag, and the consumer arms the flag before
    // its last look at those: one of the two sides always sees the other.
    if (wakeArmed.exchange(false)) {
        std::lock_guard<std::mutex> guard(wakeLock);
        if (wakeFd >= 0) {
            const uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = ::write(wakeFd, &one, sizeof one);
        }
    }
}

void XR_QUE::setWakeFd(int fd) {
    std::lock_guard<std::mutex> guard(wakeLock);
    wakeFd = fd;
}

int XR_QUE::dequeue(void* dest) {
    std::lock_guard<std::mutex> guard(lock);
    if (count.load() <= 0) {
        return 0;
    }
    std::memcpy(dest, storage.get() + static_cast<size_t>(readIndex) * kSlotBytes, kSlotBytes);
    count.fetch_sub(1);
    readIndex = (readIndex + 1) % kCapacity;
    return 1;
}

int XR_QUE::dequeueEntry(void* dest, size_t destBytes, unsigned* size) {
    // The pump looks at an empty queue on most of its ticks: an empty count
    // answers without the lock (a count above zero is checked again under
    // it). An entry enqueued just after this read is taken on the next look,
    // as it would be had it come just after the lock was released.
    if (count.load() <= 0) {
        return 0;
    }
    std::lock_guard<std::mutex> guard(lock);
    if (count.load() <= 0 || destBytes < kSlotBytes) {
        return 0;
    }
    const unsigned bytes = sizes[readIndex];
    std::memcpy(dest, storage.get() + static_cast<size_t>(readIndex) * kSlotBytes, bytes);
    if (size != nullptr) {
        *size = bytes;
    }
    count.fetch_sub(1);
    readIndex = (readIndex + 1) % kCapacity;
    return 1;
}

int XR_QUE::canEnqueue() const {
    return count.load() < kCapacity ? 1 : 0;
}

int XR_QUE::freeCount() const {
    return kCapacity - count.load();
}
