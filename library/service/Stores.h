// A bounded first-in-first-out store of fixed-size records between the caller's threads and
// the worker. Its lock is held for one append or one take, including the copy.
#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <span>

namespace GSM {

inline constexpr std::size_t kStoreCapacity = 500;

template <typename Record>
class CBoundedStore {
public:
    // False, dropping the record, when the store is full.
    bool Push(const Record& record) {
        std::lock_guard lock(mutex_);
        if (records_.size() >= kStoreCapacity) {
            return false;
        }
        records_.push_back(record);
        return true;
    }

    // All records or none: false, appending nothing, when they do not all fit. `prepare`
    // sees the records under the lock just before they are appended.
    template <typename Prepare>
    bool PushAll(std::span<Record> records, Prepare&& prepare) {
        std::lock_guard lock(mutex_);
        if (records.size() > kStoreCapacity - records_.size()) {
            return false;
        }
        prepare(records);
        records_.insert(records_.end(), records.begin(), records.end());
        return true;
    }

    // Copies the oldest record into `destination` and removes it; false when empty.
    bool Pop(Record& destination) {
        std::lock_guard lock(mutex_);
        if (records_.empty()) {
            return false;
        }
        destination = records_.front();
        records_.pop_front();
        return true;
    }

    std::size_t Size() const {
        std::lock_guard lock(mutex_);
        return records_.size();
    }

    void Clear() {
        std::lock_guard lock(mutex_);
        records_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::deque<Record> records_;
};

}  // namespace GSM
