// The AT-command engine: every modem operation the library needs, as exchanges of commands
// and replies over the serial port.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "codec/MessageRecord.h"
#include "codec/StatusReport.h"
#include "engine/Outcome.h"
#include "engine/ReplyReader.h"
#include "engine/SimLock.h"
#include "serial/CSXCom.h"

namespace GSM {

struct ReceiveProfile;

// Status results: 0 success, 1 failure, -1 port not open (nothing written).
inline constexpr int kStatusOk = ToStatus(Outcome::Done);
inline constexpr int kStatusFailed = ToStatus(Outcome::Failed);
inline constexpr int kStatusPortClosed = ToStatus(Outcome::PortClosed);

// A listing fills at most this many records or indexes.
inline constexpr int kMaxListed = 200;

// Buffer for the service-centre number: up to 63 characters and a NUL.
inline constexpr int kServiceCentreCapacity = 64;

// Failure texts left for SMSGetLastError.
inline constexpr const char* kTextNoBaudRate = "Device Not Connected,or wrong Baud rate";
inline constexpr const char* kTextEchoOffFailed = "Device Not Connected,or wrong Baud rate ";
inline constexpr const char* kTextNoSimCard = "Device Not Connected,or No SIM card";
inline constexpr const char* kTextNoDeviceType = "Can not find the device type";
inline constexpr const char* kTextCnmiError = "CNMI ERROR";
inline constexpr const char* kTextCpmsError = "CPMS ERROR";
inline constexpr const char* kTextCmgsFailed = "CMGS FAILED";
inline constexpr const char* kTextNotWritten =
    "NOT WRITTEN: the part's body was held back and never went to the modem";
inline constexpr const char* kTextCmglError = "CMGL ERROR";
inline constexpr const char* kTextCmgrFailed = "CMGR FAILED";

// Operations are virtual in a fixed order so that a model-specific engine can replace any
// of them; the dispatching operations call the specific ones through the table. The engine
// keeps no state between calls except countryCode, and takes no lock: its callers make sure
// that one operation runs at a time.
// What a PDU listing shows of a received part beyond its record.
struct ListedPart {
    std::optional<ConcatHeader> concat;
    bool internationalSender = false;
    std::u16string units;  // a UCS2 text before decoding, or a 7-bit part's septets
    bool septets = false;  // units are septets
};

class IComBaseCmd {
public:
    std::atomic<int32_t> countryCode{0};
    // What the modem showed of itself while the operations ran, for the worker to act on.
    ModemNotes notes;
    // The SIM's PIN, when our own programs give one; the ten functions' callers through
    // TARVIK_PIN.
    CSimPin simPin;
    // The message reference ("+CMGS: <mr>") of the part the last SendMessage submitted; -1
    // when it failed or the modem gave none. Read by the one caller under the modem's lock.
    int lastReference = -1;
    // When set, asked just before a part's body is written (after the prompt, or before an
    // unprompted submission's one write): false ends the part unwritten. Set and read by
    // the one caller under the modem's lock.
    std::function<bool()> bodyGate;
    // Beside each record of the last ReadMessages, what only a PDU listing shows of it. Read
    // by the one caller under the modem's lock.
    std::array<ListedPart, kMaxListed> listedParts{};
    // Delivery reports the last PDU listing found among the messages; each was deleted
    // there, for it is no message and would stay for good. Read under the modem's lock.
    std::vector<StatusReport> listedReports;
    // Whether the text-mode submit parameters that ask for a report are in force: set once
    // for a run of such parts, and the modem's default ones set again only before a part
    // that asks none, not a round trip before and after every part. Cleared by each set-up.
    bool reportParametersSet = false;

    /* 0 */ virtual int Identify(CSXCom& port);
    /* 1 */ virtual void SetCountryCode(int32_t code);
    /* 2 */ virtual int CheckAt(CSXCom& port);
    /* 3 */ virtual int EchoOff(CSXCom& port);
    /* 4 */ virtual int MatchModel(const char* reply, int32_t& code);
    /* 5 */ virtual int SetMessageFormat(CSXCom& port, int mode);
    /* 6 */ virtual int CheckSim(CSXCom& port);
    /* 7 */ virtual int SetNewMessageIndication(CSXCom& port, int mode, int mt, int bm, int ds,
                                                int bfr);
    /* 8 */ virtual int SetPreferredStorage(CSXCom& port, const char* storages);
    /* 9 */ virtual int SetServiceCentre(CSXCom& port, const char* number);
    // Fills `number` (kServiceCentreCapacity bytes, terminated) with the digits and tells
    // whether the modem gave the number in international form.
    /* 10 */ virtual int GetServiceCentre(CSXCom& port, char* number, bool* international);
    /* 11 */ virtual int SetCharacterSet(CSXCom& port, const char* name);
    /* 12 */ virtual int SetSubmitParameters(CSXCom& port);
    /* 13 */ virtual void SetMessageEncoding(CSXCom& port, int first, int second);
    // Stores exactly five characters, the operator code, without a terminator.
    /* 14 */ virtual int GetOperatorCode(CSXCom& port, char* operatorCode);
    // Submission of one part by the model's method: 1 when the modem accepted it, 0 with the
    // reason left as the last-error text.
    /* 15 */ virtual int SendMessage(CSXCom& port, const OutgoingPart& part);
    // Listings fill `records` and, beside each, its whole storage index in `indexes` (room
    // for kMaxListed of each); they return the count. Only messages received and read
    // whole are listed; the modem keeps the rest for a later pass.
    /* 16 */ virtual int ReadMessages(CSXCom& port, MsgRecord* records, int* indexes);
    // 1 when the modem answered "OK".
    /* 17 */ virtual int DeleteMessage(CSXCom& port, int index);
    /* 18 */ virtual int SendMessageUnprompted(CSXCom& port, const OutgoingPart& part);
    /* 19 */ virtual int ReadMessagesByIndex(CSXCom& port, MsgRecord* records, int* indexes);
    /* 20 */ virtual int SendMessageUcs2(CSXCom& port, const OutgoingPart& part);
    /* 21 */ virtual int ReadAllMessagesUcs2(CSXCom& port, MsgRecord* records, int* indexes);
    /* 22 */ virtual int ListMessageIndexes(CSXCom& port, int* indexes, const char* status);
    /* 23 */ virtual int ReadMessage(CSXCom& port, int index, MsgRecord& record);

    // Writes the command and reads the reply, up to five times: Done when the modem answered
    // "OK", Failed after "ERROR" or five unanswered attempts.
    // `reply` (when given) gets the last burst read, without unsolicited lines.
    Outcome SendSimpleCommand(CSXCom& port, const char* command, std::string* reply = nullptr);
    // "AT+CMGL=4" of the read storage, collected as the message listings are (a long one
    // up to the listing buffer); empty when the modem answered "ERROR" or nothing.
    std::string ListAll(CSXCom& port);

private:
    Outcome RunStatusCommand(CSXCom& port, const char* command, const char* failureText);
    // The methods without a virtual slot of their own.
    Outcome SendMessagePrompted(CSXCom& port, const OutgoingPart& part);
    // A part of a long text: its own unit in PDU mode, with its concatenation element.
    Outcome SendLongPart(CSXCom& port, const OutgoingPart& part);
    // Announces and writes the `h` hex digits of a unit in `pdu`, which has room for one more.
    Outcome SubmitPdu(CSXCom& port, char* pdu, std::size_t h);
    int ReadPduListing(CSXCom& port, MsgRecord* records, int* indexes,
                       const ReceiveProfile& receive);
};

// Runs the set-up sequence of a model code on the open port: Done when every step succeeded,
// Failed at the first failing step (its text left) or for a code without a sequence. A code
// whose row names networks is first refined by the SIM's operator, which may change
// modelCode.
Outcome SetupModem(IComBaseCmd& engine, CSXCom& port, int32_t code);

}  // namespace GSM
