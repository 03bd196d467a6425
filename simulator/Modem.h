// A modem on a pseudo-terminal: answers AT commands as a chosen model would, and can be told
// to fail, stay silent or split its replies for a named command.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "PtyPort.h"

namespace ModemSim {

struct ModemProfile {
    // Information text answered to "AT+GMM", "AT+CGMM" and "AT+CGMR"; a command missing
    // here is answered "ERROR".
    std::map<std::string, std::string> identity;
    bool echo = false;  // echo on until "ATE0"
    // The rate the modem listens at; at any other rate of the line it hears only noise and
    // stays silent. 0: any rate.
    int baudRate = 0;
    std::string imsi = "460001234567890";
    std::string serviceCentreLine = "+CSCA: \"+8613800100500\",145";
};

// A profile that names `model` in its answers to "AT+GMM" and "AT+CGMM" and gives a
// revision to "AT+CGMR".
ModemProfile ProfileFor(const std::string& model);

class CModem {
public:
    CModem(std::string linkDir, int port, ModemProfile profile);
    ~CModem();
    CModem(const CModem&) = delete;
    CModem& operator=(const CModem&) = delete;

    CPtyPort& Port() { return port_; }

    // Switches for the commands that begin with `prefix` ("AT+CPIN?", "AT+CNMI"), used up
    // after `uses` matches (-1: never).
    void FailCommand(const std::string& prefix, std::string reply = "\r\nERROR\r\n", int uses = -1);
    void SilenceCommand(const std::string& prefix, int uses = -1);
    // Answers with `script` instead of the modem's own reply.
    void ReplyTo(const std::string& prefix, Script script, int uses = -1);
    // Sends the information part of the reply, pauses, then the final result.
    void SplitReply(const std::string& prefix, int pauseMs, int uses = -1);

    // Changes the profile while the modem runs.
    template <typename Change>
    void UpdateProfile(Change&& change) {
        std::lock_guard lock(mutex_);
        change(profile_);
    }

    // Complete command lines received, without their line end.
    std::vector<std::string> Commands() const;
    int MessageFormat() const;
    std::string CharacterSet() const;
    bool Echo() const;

private:
    struct Override {
        std::string prefix;
        std::optional<Script> script;  // empty optional: split the modem's own reply
        int splitPauseMs = 0;
        int uses = -1;
    };

    void OnInput(std::string_view chunk);
    void HandleCommand(const std::string& line);
    // The modem's own answer: information text (may be empty) and final result.
    std::pair<std::string, std::string> Answer(const std::string& line);

    mutable std::mutex mutex_;
    ModemProfile profile_;
    std::string pending_;
    std::vector<std::string> commands_;
    std::vector<Override> overrides_;
    int messageFormat_ = 0;
    std::string characterSet_ = "IRA";
    CPtyPort port_;
};

}  // namespace ModemSim
