#include "WriteConfirm.h"

#include <algorithm>
#include <utility>

#include "service/Session.h"

namespace TarvikCli {

CWriteConfirm::CWriteConfirm() {
    Tarvik::Session::SetWriteNotice([this](int32_t tag, int part) {
        std::lock_guard hold(lock_);
        noticed_.push_back({tag, part, {}});
    });
}

CWriteConfirm::~CWriteConfirm() {
    Tarvik::Session::SetWriteNotice(nullptr);
}

std::vector<CWriteConfirm::Waiting> CWriteConfirm::Take() {
    std::lock_guard hold(lock_);
    return std::exchange(noticed_, {});
}

bool CWriteConfirm::Write(const std::string& id, int part) {
    const auto it = std::find_if(announced_.begin(), announced_.end(),
                                 [&](const Waiting& w) { return w.id == id && w.part == part; });
    // Answered once: a second `write` for the same part finds nothing waiting.
    if (it == announced_.end() || !Tarvik::Session::AnswerWrite(it->tag, it->part, true)) {
        return false;
    }
    it->let = true;
    return true;
}

void CWriteConfirm::RefuseAll() {
    for (Waiting& waiting : announced_) {
        if (!waiting.let) {
            Tarvik::Session::AnswerWrite(waiting.tag, waiting.part, false);
            waiting.refused = true;
        }
    }
}

void CWriteConfirm::Reported(int32_t tag, int part) {
    std::erase_if(announced_, [&](const Waiting& w) { return w.tag == tag && w.part == part; });
}

}  // namespace TarvikCli
