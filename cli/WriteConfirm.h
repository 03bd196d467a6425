// serve's confirmed writes: the library tells, on its own thread, of each part whose body
// waits; serve's loop announces it as `writing` and lets it go on the matching `write`.
#pragma once

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace TarvikCli {

class CWriteConfirm {
public:
    struct Waiting {
        int32_t tag = 0;  // the message's tag, as its reports carry it
        int part = 0;
        std::string id;        // the send's id as JSON text, once announced
        bool let = false;      // its write came: the body may have gone
        bool refused = false;  // ended unwritten
    };

    // Hears the library's notices from here on; the destructor stops that.
    CWriteConfirm();
    ~CWriteConfirm();
    CWriteConfirm(const CWriteConfirm&) = delete;
    CWriteConfirm& operator=(const CWriteConfirm&) = delete;

    // The parts that began to wait since the last call, oldest first.
    std::vector<Waiting> Take();
    // The part was announced under its send's id.
    void Announced(Waiting waiting) { announced_.push_back(std::move(waiting)); }
    // A `write` request: true when that part of that send waited and now goes.
    bool Write(const std::string& id, int part);
    // No `write` can come any more (input ended): each announced part ends unwritten.
    void RefuseAll();
    // Its report came: the part waits no longer.
    void Reported(int32_t tag, int part);
    // The parts announced that never got a report (the service stopped under them).
    const std::vector<Waiting>& Unreported() const { return announced_; }
    // A part waits for its write, holding the modem's line meanwhile.
    bool Holding() const {
        return std::any_of(announced_.begin(), announced_.end(),
                           [](const Waiting& w) { return !w.let && !w.refused; });
    }

private:
    std::mutex lock_;
    std::vector<Waiting> noticed_;  // from the library's thread
    std::vector<Waiting> announced_;
};

}  // namespace TarvikCli
