// A bounded first-in-first-out store of fixed-size records between the caller's threads and
// the worker. Its lock is held for one append or one take, including the copy.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <span>
#include <vector>

namespace GSM {

inline constexpr std::size_t kStoreCapacity = 500;

template <typename Record>
class CBoundedStore {
public:
    // Every slot is allocated and written here, at start: a caller's append never waits for
    // fresh memory to be mapped in.
    CBoundedStore() : slots_(kStoreCapacity) {}

    // False, dropping the record, when the store is full.
    bool Push(const Record& record) {
        std::lock_guard lock(mutex_);
        if (count_ == kStoreCapacity) {
            return false;
        }
        Append(record);
        return true;
    }

    // All records or none: false, appending nothing, when they do not all fit. `prepare`
    // sees the records under the lock just before they are appended.
    template <typename Prepare>
    bool PushAll(std::span<Record> records, Prepare&& prepare) {
        std::lock_guard lock(mutex_);
        if (records.size() > kStoreCapacity - count_) {
            return false;
        }
        prepare(records);
        for (const Record& record : records) {
            Append(record);
        }
        return true;
    }

    // Copies the oldest record into `destination` and removes it; false when empty.
    bool Pop(Record& destination) {
        std::lock_guard lock(mutex_);
        if (count_ == 0) {
            return false;
        }
        destination = slots_[head_];
        head_ = (head_ + 1) % kStoreCapacity;
        count_.store(count_ - 1, std::memory_order_release);
        return true;
    }

    // Without the lock: a caller polling the count never holds up the others.
    std::size_t Size() const { return count_.load(std::memory_order_acquire); }

    void Clear() {
        std::lock_guard lock(mutex_);
        head_ = 0;
        count_.store(0, std::memory_order_release);
    }

private:
    void Append(const Record& record) {
        slots_[(head_ + count_) % kStoreCapacity] = record;
        count_.store(count_ + 1, std::memory_order_release);
    }

    mutable std::mutex mutex_;
    std::vector<Record> slots_;
    std::size_t head_ = 0;
    // Changed only under the lock; read without it by Size().
    std::atomic<std::size_t> count_ = 0;
};

}  // namespace GSM
