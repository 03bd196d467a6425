// Reply shaping and faults: the switches a test sets on a command or a submission, how they
// cut, delay, replace or surround the modem's own reply, and the lines the modem sends
// unasked.
#include <algorithm>
#include <random>

#include "Modem.h"
#include "ReplyText.h"

namespace ModemSim {

void CModem::StartChatter(std::vector<std::string> lines, int periodMs, int jitterMs) {
    StopChatter();
    if (lines.empty() || periodMs <= 0) {
        return;
    }
    {
        std::lock_guard lock(chatterMutex_);
        chatterStop_ = false;
    }
    jitterMs = std::clamp(jitterMs, 0, periodMs - 1);
    chatter_ = std::thread([this, lines = std::move(lines), periodMs, jitterMs] {
        // The same sequence of pauses for the same port, so that a failing run can be repeated.
        std::minstd_rand random(static_cast<unsigned>(port_.PortNumber()));
        std::uniform_int_distribution<int> jitter(-jitterMs, jitterMs);
        std::unique_lock lock(chatterMutex_);
        for (std::size_t next = 0;; ++next) {
            const auto pause = std::chrono::milliseconds(periodMs + jitter(random));
            if (chatterChanged_.wait_for(lock, pause, [this] { return chatterStop_; })) {
                return;
            }
            port_.Interject(StatusLine(lines[next % lines.size()]));
        }
    });
}

void CModem::StopChatter() {
    {
        std::lock_guard lock(chatterMutex_);
        chatterStop_ = true;
    }
    chatterChanged_.notify_all();
    if (chatter_.joinable()) {
        chatter_.join();
    }
}

void CModem::FailCommand(const std::string& prefix, std::string reply, int uses) {
    ReplyTo(prefix, Script{Burst{std::move(reply), 0}}, uses);
}

void CModem::SilenceCommand(const std::string& prefix, int uses) {
    ReplyTo(prefix, {}, uses);
}

void CModem::ReplyTo(const std::string& prefix, Script script, int uses) {
    std::lock_guard lock(mutex_);
    overrides_.push_back(Override{prefix, OverrideKind::Replace, std::move(script), 0, 0, uses});
}

void CModem::SplitReply(const std::string& prefix, int pauseMs, int uses) {
    std::lock_guard lock(mutex_);
    overrides_.push_back(Override{prefix, OverrideKind::Split, {}, pauseMs, 0, uses});
}

void CModem::CutReply(const std::string& prefix, int pauseMs, int uses) {
    std::lock_guard lock(mutex_);
    overrides_.push_back(Override{prefix, OverrideKind::Cut, {}, pauseMs, 0, uses});
}

void CModem::DelayReply(const std::string& prefix, int delayMs, int uses) {
    std::lock_guard lock(mutex_);
    overrides_.push_back(Override{prefix, OverrideKind::Delay, {}, delayMs, 0, uses});
}

void CModem::SplitListing(const std::string& prefix, int entries, int pauseMs, int uses) {
    std::lock_guard lock(mutex_);
    overrides_.push_back(
        Override{prefix, OverrideKind::Bursts, {}, pauseMs, entries < 1 ? 1 : entries, uses});
}

void CModem::SendUnsolicited(const std::string& line) {
    port_.Send(StatusLine(line));
}

void CModem::UnsolicitedAround(const std::string& prefix, std::string line, bool before, int uses,
                               int pauseMs) {
    std::lock_guard lock(mutex_);
    overrides_.push_back(Override{prefix, before ? OverrideKind::Before : OverrideKind::After,
                                  Script{Burst{StatusLine(line), before ? 0 : pauseMs}}, 0, 0,
                                  uses});
}

void CModem::UnsolicitedInside(const std::string& prefix, std::string line, int uses) {
    std::lock_guard lock(mutex_);
    overrides_.push_back(
        Override{prefix, OverrideKind::Inside, Script{Burst{StatusLine(line), 0}}, 0, 0, uses});
}

void CModem::FailSubmission(std::string reply, int uses, int skip) {
    std::lock_guard lock(mutex_);
    resultSwitches_.push_back(ResultSwitch{std::move(reply), 0, 0, uses, skip});
}

void CModem::SplitSubmitResult(int bursts, int pauseMs, int uses) {
    std::lock_guard lock(mutex_);
    resultSwitches_.push_back(ResultSwitch{std::nullopt, bursts, pauseMs, uses});
}

Script CModem::ShapedReply(const std::string& line) {
    Script before;
    Script inside;
    Script after;
    const Override* shaping = nullptr;
    Override chosen;
    for (auto it = overrides_.begin(); it != overrides_.end();) {
        const bool around = it->kind == OverrideKind::Before || it->kind == OverrideKind::Inside ||
                            it->kind == OverrideKind::After;
        if (!StartsWith(line, it->prefix) || (!around && shaping != nullptr)) {
            ++it;
            continue;
        }
        if (around) {
            Script& target = it->kind == OverrideKind::Before   ? before
                             : it->kind == OverrideKind::Inside ? inside
                                                                : after;
            target.insert(target.end(), it->script.begin(), it->script.end());
        } else {
            chosen = *it;
            shaping = &chosen;
        }
        if (it->uses > 0 && --it->uses == 0) {
            it = overrides_.erase(it);
        } else {
            ++it;
        }
    }

    Script script;
    if (shaping != nullptr && shaping->kind == OverrideKind::Replace) {
        script = shaping->script;
    } else {
        Pieces pieces = Answer(line);
        if (!inside.empty() && !pieces.empty()) {
            pieces.insert(pieces.end() - 1, inside.begin(), inside.end());
        }
        if (shaping != nullptr && shaping->kind == OverrideKind::Split) {
            std::string info;
            for (std::size_t i = 0; i + 1 < pieces.size(); ++i) {
                info += pieces[i].bytes;
            }
            script = {Burst{info, 0},
                      Burst{pieces.empty() ? "" : pieces.back().bytes, shaping->pauseMs}};
        } else {
            if (shaping != nullptr && shaping->kind == OverrideKind::Bursts) {
                for (std::size_t i = 0; i < pieces.size(); ++i) {
                    pieces[i].pauseMs = i % shaping->entries == 0 && i > 0 ? shaping->pauseMs : 0;
                }
            }
            if (shaping != nullptr && shaping->kind == OverrideKind::Delay && !pieces.empty()) {
                pieces.front().pauseMs += shaping->pauseMs;
            }
            // Pieces without a pause go out in the burst before them.
            for (const Burst& piece : pieces) {
                if (script.empty() || piece.pauseMs > 0) {
                    script.push_back(piece);
                } else {
                    script.back().bytes += piece.bytes;
                }
            }
        }
    }
    if (shaping != nullptr && shaping->kind == OverrideKind::Cut) {
        Script halves;
        for (const Burst& burst : script) {
            const std::size_t middle = burst.bytes.size() / 2;
            halves.push_back(Burst{burst.bytes.substr(0, middle), burst.pauseMs});
            halves.push_back(Burst{burst.bytes.substr(middle), shaping->pauseMs});
        }
        script = std::move(halves);
    }
    script.insert(script.begin(), before.begin(), before.end());
    script.insert(script.end(), after.begin(), after.end());
    return script;
}

void CModem::Play(Script script) {
    if (!script.empty()) {
        script.front().pauseMs += profile_.replyLatencyMs;
    }
    port_.Reply(script);
}

}  // namespace ModemSim
