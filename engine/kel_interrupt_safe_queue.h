#pragma once
// The hand-over queue between the audio thread and every other thread: fixed capacity,
// lock-free, allocation-free after construction; any number of producers, one consumer.
//
// Threads: push() from any thread; pop() and peek() from exactly one consumer thread per
// queue. Nothing blocks, sleeps, allocates or frees, so every call is safe on the host's
// real-time thread. A full queue drops the element (push answers false).
//
// Design: all nodes live in one array. Unused nodes form the free stack; pushed nodes form
// the incoming stack (newest first); the consumer takes the whole incoming stack at once,
// reverses it and keeps it as its private first-in first-out reader list.
//
// The free stack is popped by several producers at once. A bare pointer compare-exchange
// there can be fooled (a node taken, reused and returned between one producer's read of the
// head and its exchange, so that producer installs a stale next and two producers end up
// owning the same node). The head is therefore a 64-bit word holding a node index and a tag
// that changes on every update, and the exchange fails whenever the tag moved on.
// The incoming stack is only pushed to and taken whole, which never reads a node behind the
// head, so a plain index suffices there.
#include <atomic>
#include <cstdint>
#include <memory>
#include <type_traits>

// Lets a test stop a producer between reading the free head and exchanging it, the one
// window the tag guards. The default does nothing and costs nothing.
struct KelQueueNoHooks {
    static void before_free_exchange() {}
};

template <class T, class Hooks = KelQueueNoHooks>
class KelInterruptSafeQueue {
    static_assert(std::is_trivially_copyable_v<T>, "queue elements are copied as plain records");

public:
    explicit KelInterruptSafeQueue(uint32_t capacity)
        : nodes_(new Node[capacity > 0 && capacity < kNil ? capacity : 1]),
          capacity_(capacity > 0 && capacity < kNil ? capacity : 1) {
        // Every node onto the free stack, so the first node handed out is the last one.
        for (uint32_t i = 0; i < capacity_; ++i) free_push(i);
    }
    virtual ~KelInterruptSafeQueue() = default;
    KelInterruptSafeQueue(const KelInterruptSafeQueue&) = delete;
    KelInterruptSafeQueue& operator=(const KelInterruptSafeQueue&) = delete;

    // Any thread. False when every node is in use: the element is dropped.
    bool push(const T& element) {
        const uint32_t i = free_pop();
        if (i == kNil) return false;
        nodes_[i].element = element;  // written before the node is published below
        uint32_t head = incoming_.load(std::memory_order_relaxed);
        do {
            nodes_[i].next.store(head, std::memory_order_relaxed);
        } while (!incoming_.compare_exchange_weak(head, i, std::memory_order_seq_cst, std::memory_order_relaxed));
        return true;
    }

    // Consumer only. False (and nothing changed) when the queue is empty.
    bool pop(T& out) {
        if (!front()) return false;
        const uint32_t i = reader_head_;
        out = nodes_[i].element;  // copied out before the node goes back to the producers
        reader_head_ = nodes_[i].next.load(std::memory_order_relaxed);
        free_push(i);
        return true;
    }

    // Consumer only: the element pop() would answer, left in the queue.
    bool peek(T& out) {
        if (!front()) return false;
        out = nodes_[reader_head_].element;
        return true;
    }

    uint32_t capacity() const { return capacity_; }

private:
    static constexpr uint32_t kNil = 0xffffffffu;

    struct Node {
        // Atomic because a producer that lost a race may still read the next field of a
        // node that another thread is already re-linking; the read value is then discarded.
        std::atomic<uint32_t> next{kNil};
        T element{};
    };

    static uint64_t pack(uint32_t tag, uint32_t index) { return (uint64_t(tag) << 32) | index; }
    static uint32_t index_of(uint64_t word) { return static_cast<uint32_t>(word); }
    static uint32_t tag_of(uint64_t word) { return static_cast<uint32_t>(word >> 32); }

    uint32_t free_pop() {
        uint64_t head = free_.load(std::memory_order_seq_cst);
        for (;;) {
            const uint32_t i = index_of(head);
            if (i == kNil) return kNil;
            const uint32_t next = nodes_[i].next.load(std::memory_order_relaxed);
            Hooks::before_free_exchange();
            if (free_.compare_exchange_weak(head, pack(tag_of(head) + 1, next), std::memory_order_seq_cst,
                                            std::memory_order_seq_cst))
                return i;
        }
    }

    void free_push(uint32_t i) {
        uint64_t head = free_.load(std::memory_order_relaxed);
        do {
            nodes_[i].next.store(index_of(head), std::memory_order_relaxed);
        } while (!free_.compare_exchange_weak(head, pack(tag_of(head) + 1, i), std::memory_order_seq_cst,
                                              std::memory_order_relaxed));
    }

    // Makes sure the reader list holds something if anything was pushed; false when empty.
    bool front() {
        if (reader_head_ != kNil) return true;
        uint32_t taken = incoming_.exchange(kNil, std::memory_order_seq_cst);
        if (taken == kNil) return false;
        // The stack holds newest first; reversing it restores push order.
        uint32_t reversed = kNil;
        while (taken != kNil) {
            const uint32_t next = nodes_[taken].next.load(std::memory_order_relaxed);
            nodes_[taken].next.store(reversed, std::memory_order_relaxed);
            reversed = taken;
            taken = next;
        }
        reader_head_ = reversed;
        return true;
    }

    std::unique_ptr<Node[]> nodes_;
    const uint32_t capacity_;
    std::atomic<uint64_t> free_{pack(0, kNil)};
    std::atomic<uint32_t> incoming_{kNil};
    // Consumer-private reader list. It is refilled only once empty, so one collection
    // becomes the whole list and no tail is needed.
    uint32_t reader_head_ = kNil;
};
