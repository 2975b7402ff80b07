#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

// A bounded ring of tunnel packets handed from one thread to another: 30
// equal slots of 30976 bytes in one block allocated at construction, guarded
// by one mutex. It never waits for room or for data; a full or empty queue is
// reported at once and the caller decides (skip a read, retry later, close).
//
// An entry is one packet copied byte for byte into a slot; the queue keeps no
// length of its own. dequeue hands out the whole slot, and the consumer takes
// the real extent from the packet header. The bytes of a slot behind a short
// entry are whatever an earlier entry left there.
//
// Threads: each queue has one producing and one consuming thread (a socket's
// worker and the stream on the GUI thread). enqueue, dequeue and reset may be
// called from any thread and are atomic with respect to each other.
// canEnqueue, freeCount and getCount read the count without the lock, so a
// value may be one operation old; only the producer may rely on canEnqueue()
// meaning that its next enqueue succeeds.
class XR_QUE {
public:
    static constexpr int kCapacity = 30;         // entries
    static constexpr size_t kSlotBytes = 30976;  // bytes per entry, header included
    static constexpr size_t kStorageBytes = kCapacity * kSlotBytes;  // 929,280 bytes

    XR_QUE();
    ~XR_QUE() = default;
    XR_QUE(const XR_QUE&) = delete;
    XR_QUE& operator=(const XR_QUE&) = delete;

    // Drops every entry. Traces "RESET QUE".
    void reset();
    // Copies `size` bytes into the next free slot. 1 on success; 0 when
    // `size` is over kSlotBytes or the queue holds kCapacity entries (each
    // traced).
    int enqueue(const void* entry, unsigned size);
    // Copies the whole oldest slot (kSlotBytes) into `dest` and removes it.
    // 0 when empty, leaving `dest` untouched.
    int dequeue(void* dest);
    // The same, copying only the bytes the oldest entry was enqueued with
    // (destBytes must be at least kSlotBytes); *size gets their number.
    // The hot paths use it: a data entry is a third of a slot.
    int dequeueEntry(void* dest, size_t destBytes, unsigned* size);
    // 1 while fewer than kCapacity entries are held.
    int canEnqueue() const;
    // kCapacity minus the entries held: what the stream reports to the peer.
    int freeCount() const;
    // Entries held.
    int getCount() const { return count.load(); }

    // For a consumer that, having nothing to do, sleeps in poll(2) instead of
    // looking again after every pause. wakeFd is an eventfd the consumer
    // owns and reads (-1: none); the consumer sets it, and sets it back to -1
    // before it closes it. While the consumer has armed the wake-up, the
    // next enqueue (or wakeConsumer) disarms it and signals wakeFd once; at
    // all other times an enqueue costs no system call and no lock. The
    // consumer arms before it looks at the count one last time, so an entry
    // enqueued meanwhile is never slept through.
    void setWakeFd(int fd);
    void armWake() { wakeArmed.store(true); }
    void disarmWake() { wakeArmed.store(false); }
    // Signals wakeFd if the consumer has armed the wake-up. Any thread.
    void wakeConsumer();

private:
    char name[8];  // fixed text: class-name tag, never read
    // Entries held, 0..kCapacity. Written under `lock`; read without it by
    // the queries above, hence atomic.
    std::atomic<int> count{0};
    int writeIndex = 0;                  // slot the next enqueue fills; guarded by lock
    int readIndex = 0;                   // slot the next dequeue empties; guarded by lock
    std::unique_ptr<uint8_t[]> storage;  // kCapacity slots of kSlotBytes
    unsigned sizes[kCapacity] = {};      // bytes enqueued into each slot; guarded by lock
    std::mutex lock;
    // Guards wakeFd: a signal is never written to a descriptor the consumer
    // has closed meanwhile. Taken only while the consumer sleeps or (un)sets it.
    std::mutex wakeLock;
    int wakeFd = -1;  // guarded by wakeLock
    std::atomic<bool> wakeArmed{false};
};
