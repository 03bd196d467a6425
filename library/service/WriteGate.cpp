#include "service/WriteGate.h"

#include <utility>

namespace GSM {

void CWriteGate::SetNotice(Notice notice) {
    std::lock_guard hold(lock_);
    notice_ = std::move(notice);
}

bool CWriteGate::Ask(int32_t tag, int part, std::chrono::milliseconds limit) {
    Notice notice;
    {
        std::lock_guard hold(lock_);
        if (closed_ || !notice_) {
            return false;
        }
        // Marked before the caller hears of it, so that an answer never comes too early.
        waiting_ = Waiting{tag, part};
        answer_.reset();
        notice = notice_;
    }
    notice(tag, part);
    std::unique_lock hold(lock_);
    changed_.wait_for(hold, limit, [this] { return closed_ || answer_.has_value(); });
    const bool go = !closed_ && answer_.value_or(false);
    waiting_.reset();
    answer_.reset();
    return go;
}

bool CWriteGate::Answer(int32_t tag, int part, bool go) {
    {
        std::lock_guard hold(lock_);
        if (!waiting_ || waiting_->tag != tag || waiting_->part != part || answer_) {
            return false;
        }
        answer_ = go;
    }
    changed_.notify_all();
    return true;
}

bool CWriteGate::Close() {
    bool waiting = false;
    {
        std::lock_guard hold(lock_);
        closed_ = true;
        waiting = waiting_.has_value();
    }
    changed_.notify_all();
    return waiting;
}

}  // namespace GSM
