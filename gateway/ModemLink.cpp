#include "ModemLink.h"

#include "Log.h"

namespace Tarvikd {

CModemLink::CModemLink(std::string name, std::function<void()> onEvent)
    : name_(std::move(name)), onEvent_(std::move(onEvent)) {}

CModemLink::~CModemLink() {
    Finish(true);
}

bool CModemLink::Start(const std::string& program, const ModemConfig& modem,
                       const std::vector<std::string>& env, std::string& why) {
    // --cancel-pending: a child that died mid-submission, in this daemon's life or before
    // it, may have left the modem waiting for a message body.
    if (!child_.Start(program,
                      {"serve", "--port", std::to_string(modem.port), "--baud",
                       std::to_string(modem.baud), "--ack", "--cancel-pending"},
                      env, why)) {
        return false;
    }
    {
        std::lock_guard hold(lock_);
        events_.clear();
        ended_ = false;
    }
    reader_ = std::thread([this] { Read(); });
    return true;
}

void CModemLink::Read() {
    std::string line;
    while (child_.ReadLine(line, -1) == CChild::Read::Line) {
        std::string why;
        std::optional<TarvikLink::Event> event = TarvikLink::ParseEvent(line, why);
        if (!event) {
            Log(Level::Warning, "modem " + name_ + ": not an event (" + why + "): " + line);
            continue;
        }
        {
            std::lock_guard hold(lock_);
            events_.push_back(std::move(*event));
        }
        onEvent_();
    }
    {
        std::lock_guard hold(lock_);
        ended_ = true;
    }
    changed_.notify_all();
    onEvent_();
}

CModemLink::Take CModemLink::Next(TarvikLink::Event& event) {
    std::lock_guard hold(lock_);
    if (!events_.empty()) {
        event = std::move(events_.front());
        events_.pop_front();
        return Take::Event;
    }
    return ended_ ? Take::Ended : Take::None;
}

bool CModemLink::Write(const TarvikLink::Request& request) {
    std::string line = TarvikLink::RequestLine(request);
    line.pop_back();  // WriteLine ends it
    return child_.WriteLine(line);
}

bool CModemLink::Write(TarvikLink::Op op) {
    TarvikLink::Request request;
    request.op = op;
    return Write(request);
}

bool CModemLink::WaitEnd(std::chrono::steady_clock::duration limit) {
    std::unique_lock hold(lock_);
    return changed_.wait_for(hold, limit, [this] { return ended_; });
}

std::string CModemLink::Finish(bool kill) {
    if (kill) {
        child_.Kill();
    }
    // The reader ends with the child's output: at its exit, or at the kill.
    if (reader_.joinable()) {
        reader_.join();
    }
    return child_.Finish(false);
}

}  // namespace Tarvikd
