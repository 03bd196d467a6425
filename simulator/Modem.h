// A modem on a pseudo-terminal: answers AT commands as a chosen model would, keeps a message
// storage, takes submissions, and can be told to fail, stay silent or split its replies for a
// named command.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "Messages.h"
#include "Profiles.h"
#include "PtyPort.h"

namespace ModemSim {

class CModem {
public:
    CModem(std::string linkDir, int port, ModemProfile profile);
    ~CModem();
    CModem(const CModem&) = delete;
    CModem& operator=(const CModem&) = delete;

    CPtyPort& Port() { return port_; }

    // Switches for the commands that begin with `prefix` ("AT+CPIN?", "AT+CNMI"), used up
    // after `uses` matches (-1: never). The first switch that matches a command applies.
    void FailCommand(const std::string& prefix, std::string reply = "\r\nERROR\r\n", int uses = -1);
    void SilenceCommand(const std::string& prefix, int uses = -1);
    // Answers with `script` instead of the modem's own reply.
    void ReplyTo(const std::string& prefix, Script script, int uses = -1);
    // Sends the information part of the reply, pauses, then the final result.
    void SplitReply(const std::string& prefix, int pauseMs, int uses = -1);
    // Cuts every burst of the reply in half, the halves `pauseMs` apart: inside "OK",
    // between the prompt's bytes.
    void CutReply(const std::string& prefix, int pauseMs, int uses = -1);
    // The modem's own reply, begun only after `delayMs`.
    void DelayReply(const std::string& prefix, int delayMs, int uses = -1);
    // The modem's own reply with `entries` listed entries per burst (the final result
    // counting as one), bursts `pauseMs` apart.
    void SplitListing(const std::string& prefix, int entries, int pauseMs, int uses = -1);

    // Unsolicited lines, sent as "\r\n<line>\r\n": now, or around the reply to the next
    // `uses` commands beginning with `prefix`.
    void SendUnsolicited(const std::string& line);
    // Lines after the reply come `pauseMs` behind its final result.
    void UnsolicitedAround(const std::string& prefix, std::string line, bool before, int uses = 1,
                           int pauseMs = 0);
    // ...or inside it, in front of its final result.
    void UnsolicitedInside(const std::string& prefix, std::string line, int uses = 1);

    // The result of the next `uses` submissions after `skip` more: `reply` instead of
    // "+CMGS:" (the message is refused), or the modem's own result cut into `bursts` pieces
    // `pauseMs` apart.
    void FailSubmission(std::string reply = "\r\n+CMS ERROR: 500\r\n", int uses = -1, int skip = 0);
    void SplitSubmitResult(int bursts, int pauseMs, int uses = -1);

    // Status lines sent on the modem's own, one every `periodMs` give or take `jitterMs`, in
    // turn, between the bursts of any reply, until StopChatter or the end of the modem.
    void StartChatter(std::vector<std::string> lines, int periodMs, int jitterMs);
    void StopChatter();
    // The module restarts as after a watchdog reset: its modes go back to those of power-up
    // and, when `announce`, it sends its boot lines. Storage and profile stay.
    void Restart(bool announce = true);

    // The new-message indication goes back to its power-up settings without a word, as a
    // module that drops report routing does.
    void DropIndication();

    // The tries the SIM has left for its PIN; 0 blocks it behind its PUK.
    void SetPinTriesLeft(int tries);

    // Changes the profile while the modem runs.
    template <typename Change>
    void UpdateProfile(Change&& change) {
        std::lock_guard lock(mutex_);
        change(profile_);
    }

    // The index the message got, or -1 when the storage is full, the index is taken or the
    // text does not fit one message.
    int StoreMessage(const StoredMessage& message);
    // The parts --loopback-lose held back, stored now: a network that delivers them late.
    void DeliverLostParts();
    // By index.
    std::vector<StoredMessage> Storage() const;
    void ClearStorage();
    // Accepted submissions, oldest first.
    std::vector<Submission> Submitted() const;
    // Forgets the submissions, commands and bytes received so far: a long run keeps its
    // books round by round.
    void ClearLogs();

    // Complete command lines received, without their line end.
    std::vector<std::string> Commands() const;
    int MessageFormat() const;
    std::string CharacterSet() const;
    bool Echo() const;
    // True between a submission's command and its terminator or ESC.
    bool InTextEntry() const;

private:
    enum class OverrideKind { Replace, Split, Cut, Delay, Bursts, Before, Inside, After };
    struct Override {
        std::string prefix;
        OverrideKind kind = OverrideKind::Replace;
        Script script;
        int pauseMs = 0;
        int entries = 0;
        int uses = -1;
    };
    // A reply as pieces: each piece with a pause starts a new burst after that pause.
    using Pieces = std::vector<Burst>;
    struct EntryState {
        SubmitMethod method = SubmitMethod::Text;
        bool ucs2 = false;  // hex text or raw UTF-16 octets
        std::string destination;
        int announced = 0;  // PDU mode: the length the command gave
        std::string body;
    };
    struct ResultSwitch {
        std::optional<std::string> failure;
        int bursts = 0;
        int pauseMs = 0;
        int uses = -1;
        int skip = 0;  // submissions that go their own way before it applies
    };

    // One row of the command table: the command line whole or its start, and the handler
    // that answers it, or declines a form it does not take, leaving the line to the rows
    // below and at last to the answer to commands the modem does not know.
    struct CommandRow {
        std::string_view command;
        bool prefix = false;
        std::optional<Pieces> (*answer)(CModem& modem, const std::string& line);
    };
    static std::span<const CommandRow> CommandTable();
    static std::span<const CommandRow> IdentityRows();
    static std::span<const CommandRow> FormatRows();
    static std::span<const CommandRow> StorageRows();
    static std::span<const CommandRow> MessageRows();
    static Pieces Reply(const std::string& info, const std::string& result);

    // Modem.cpp: input and dispatch.
    void OnInput(std::string_view chunk);
    void HandleCommand(const std::string& line);
    // The modem's own answer; may open text entry.
    Pieces Answer(const std::string& line);

    // Faults.cpp: the reply to a command as the switches shape it, and its playing after
    // the profile's latency.
    Script ShapedReply(const std::string& line);
    void Play(Script script);

    // TextEntry.cpp: "AT+CMGS", the text that follows it, and the result.
    Pieces AnswerSubmit(const std::string& line);
    void TakeBody();
    void FinishEntry(bool cancelled);
    std::optional<Submission> ReadSubmission(const EntryState& entry, std::string& error) const;
    bool IsOwnNumber(const std::string& destination) const;

    // Loopback.cpp: a message sent to the own number comes back; a long text's parts as
    // the profile shapes them.
    void LoopBackLocked(const Submission& submission, Script& script);
    void ReleaseLoopbackLocked();

    // SimLock.cpp: the SIM's PIN lock, its entry and the tries left.
    Pieces AnswerSimState() const;
    Pieces AnswerPin(const std::string& line);
    Pieces AnswerPinTries() const;

    // Network.cpp: registration, operator, and the SIM's and module's numbers.
    Pieces AnswerRegistration() const;
    Pieces AnswerOperator() const;

    // Reports.cpp: the delivery report of a submission that asked for one, as the
    // indication settings route it.
    void ReportLocked(const Submission& submission);
    // A report the network sends now, stored as the routing says: its announcement, or
    // nothing when the storage is full.
    std::string ReportArrivedLocked(ReportRouting routing, const std::string& unit);

    // Storage.cpp: stored messages, their listing, reading and deletion.
    Pieces AnswerList(const std::string& line);
    Pieces AnswerReportList(bool pduMode) const;
    Pieces AnswerRead(const std::string& line);
    Pieces AnswerDelete(const std::string& line);
    int StoreLocked(StoredMessage message);
    std::string ServiceCentreDigits() const;

    mutable std::mutex mutex_;
    ModemProfile profile_;
    std::string pending_;
    std::vector<std::string> commands_;
    std::vector<Override> overrides_;
    std::vector<ResultSwitch> resultSwitches_;
    int messageFormat_ = 0;
    bool simUnlocked_ = false;  // the PIN was entered since the last power-up
    int pinTriesLeft_ = 3;
    std::string characterSet_ = "IRA";
    bool rawUcs2_ = false;  // chosen by "AT+ZMSGL" for unprompted submissions
    std::optional<EntryState> entry_;
    // Text entry takes no input before this (promptReadyMs).
    std::chrono::steady_clock::time_point entryReady_{};
    std::map<int, StoredMessage> storage_;
    // "AT+CNMI" as last set, the first octet "AT+CSMP" gives text-mode submissions, the
    // storage "AT+CMGR" and "AT+CMGD" work on, and the report memory ("SR").
    std::string indication_ = "0,0,0,0,0";
    int submitFirstOctet_ = 17;
    std::string readStorage_;
    std::map<int, std::string> reportMemory_;
    std::vector<Submission> submitted_;
    int nextReference_ = 0;
    // Parts of long texts to the own number: by (reference, count), their parts by number.
    std::map<std::pair<int, int>, std::map<int, StoredMessage>> loopbackSets_;
    // Parts whose set is whole, each with the listings still to pass before it is stored.
    std::deque<std::pair<int, StoredMessage>> loopbackQueue_;
    std::vector<StoredMessage> loopbackLost_;  // held back until DeliverLostParts
    CPtyPort port_;

    std::mutex chatterMutex_;
    std::condition_variable chatterChanged_;
    bool chatterStop_ = false;
    std::thread chatter_;
};

}  // namespace ModemSim
