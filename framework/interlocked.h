#pragma once
// Interlocked operations: each one is a single atomic read-modify-write and a full
// barrier (sequentially consistent), so counters such as the reconfiguration gate's
// also order the plain memory around them. Lock-free for 32- and 64-bit integers, so
// the audio thread may use them.
#include <atomic>
#include <type_traits>

template <class T>
concept KelInterlockedValue = std::is_integral_v<T>;

// Answers the value after the increment.
template <KelInterlockedValue T>
inline T kel_interlocked_increment(std::atomic<T>& v) {
    return static_cast<T>(v.fetch_add(1, std::memory_order_seq_cst) + 1);
}

// Answers the value after the decrement.
template <KelInterlockedValue T>
inline T kel_interlocked_decrement(std::atomic<T>& v) {
    return static_cast<T>(v.fetch_sub(1, std::memory_order_seq_cst) - 1);
}

// Adds and answers the value before the addition.
template <KelInterlockedValue T>
inline T kel_interlocked_exchange_add(std::atomic<T>& v, T add) {
    return v.fetch_add(add, std::memory_order_seq_cst);
}

// Stores and answers the value before the store.
template <KelInterlockedValue T>
inline T kel_interlocked_exchange(std::atomic<T>& v, T value) {
    return v.exchange(value, std::memory_order_seq_cst);
}

// Stores `exchange` only when the value equals `comparand`; answers the value found,
// so the caller succeeded exactly when the answer equals `comparand`.
template <KelInterlockedValue T>
inline T kel_interlocked_compare_exchange(std::atomic<T>& v, T exchange, T comparand) {
    T found = comparand;
    v.compare_exchange_strong(found, exchange, std::memory_order_seq_cst);
    return found;
}

static_assert(std::atomic<int>::is_always_lock_free && std::atomic<long long>::is_always_lock_free,
              "interlocked counters must be lock-free for the audio thread");
