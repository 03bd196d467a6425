// What a simulated modem is: its answers and quirks as data, and the table of the models
// it can be, one row each.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ModemSim {

inline constexpr std::string_view kCommonStorage = "SM";
inline constexpr std::string_view kCommonListTag = "+CMGL:";

// How a modem hands over a delivery report once its indication settings ask for reports.
enum class ReportRouting {
    None,            // never
    ReportMemory,    // kept in "SR" memory, announced as +CDSI: "SR",<index> (ds 2)
    StoredMessages,  // kept among the messages, announced as +CDSI: "SM",<index> (ds 2)
    Direct,          // sent at once as +CDS (ds 1)
};

struct ModemProfile {
    // Information text answered, with OK, to the command line named; "AT+GMM", "AT+CGMM"
    // and "AT+CGMR" missing here are answered "ERROR".
    std::map<std::string, std::string> identity;
    // Whole replies, the bytes as they stand, to the command line named: what a captured
    // dialogue shows that is no information text with OK.
    std::map<std::string, std::string> replies;
    bool echo = false;  // echo on until "ATE0"
    // The rate the modem listens at; at any other rate of the line it hears only noise and
    // stays silent. 0: any rate.
    int baudRate = 0;
    std::string imsi = "460001234567890";
    std::string imei = "861234567890123";
    std::string iccid = "89860012345678901234";
    // What "AT+CREG?" reports: home, roaming, searching, denied, unknown or idle (not
    // searching); only home and roaming name an operator.
    std::string registration = "home";
    std::string serviceCentreLine = "+CSCA: \"+8613800100500\",145";

    // Messages submitted to this number come back as received messages.
    std::string ownNumber = "+8613800138000";
    // Dropped from the front of a destination before comparing it with the own number.
    std::string countryCode = "86";

    // Submission: the prompt that opens text entry, and what ESC in text entry answers.
    std::string prompt = "\r\n> ";
    std::string cancelReply;
    // Text-mode "AT+CMGS" takes the body in the same write, without a prompt, and the
    // result ends with a "+CDS:" report this long after the final result.
    bool unpromptedSubmit = false;
    int reportPauseMs = 500;

    // Storage: indexes from `firstIndex`, at most `capacity` messages.
    int firstIndex = 1;
    int capacity = 1000;
    std::string storageName = std::string(kCommonStorage);
    bool indicateNewMessages = false;  // "+CMTI:" for each message stored

    // Listings: the tag of a PDU-mode entry, and an empty line after its header.
    std::string listTag = std::string(kCommonListTag);
    bool blankLineAfterListHeader = false;
    // Text mode lists one entry per burst, these pauses apart, and reads in the layout
    // with the coding field.
    bool indexDialect = false;
    int burstPauseMs = 400;
    // A SIM that lists slowly: every header and body line of a listing comes this long after
    // the one before. A line sent between each entry's header and its body, if not empty.
    int listingPauseMs = 0;
    std::string lineInsideEntries;

    // The network confirms a submission this long after its body.
    int networkDelayMs = 0;

    // Delivery reports of submissions that ask for one: routed the row's way, this long
    // after the submission's result, with this status, or the status given for the part's
    // number (1 for a message of one part).
    ReportRouting reportRouting = ReportRouting::None;
    int reportDelayMs = 200;
    int reportStatus = 0;
    std::map<int, int> reportStatusParts;

    // How the parts of a long text sent to the own number come back: held until the set is
    // whole, then stored shuffled, with one part (by its number) lost or stored twice, and
    // each part after the first a number of listings after the one before it.
    bool loopbackShuffle = false;
    int loopbackLose = 0;
    int loopbackRepeat = 0;
    int loopbackGapListings = 0;

    // A restart brings the modem back with these announcements, echo on, PDU mode and its
    // own character set: the modes of its set-up are gone.
    std::vector<std::string> bootLines = {"RDY", "+CPIN: READY", "SMS Ready"};

    // A SIM locked by this PIN (digits; empty: no PIN asked). Three wrong entries block it
    // behind its PUK, as SIMs do.
    std::string simPin;

    // Every reply (final results, the prompt, submission results) begins this long after
    // the command or body that asked for it, as a module's own processing time.
    int replyLatencyMs = 0;
    // A module that sends its prompt before it can take the text: what arrives within this
    // long after the prompt is lost.
    int promptReadyMs = 0;
    // A module of no particular dialect: commands it does not know are answered "OK",
    // except the vendor mode-switch probes, which it refuses.
    bool generic = false;
    std::vector<std::string> modeSwitchProbes = {"AT+MODE="};

    bool operator==(const ModemProfile&) const = default;
};

// How one model of the library's table is simulated where it differs from the common
// dialect. The names a row answers to, and the order they are matched in, are the
// library's: a row names only the model code.
struct SimulatedModel {
    int32_t code;
    // Where messages are kept, as "+CMTI:" and "AT+CPMS" name it.
    std::string_view storageName = kCommonStorage;
    // PDU listings: the tag of an entry, and an empty line after its header.
    std::string_view listTag = kCommonListTag;
    bool blankLineAfterListHeader = false;
    // Text-mode listings and reads in the layout with the coding field, one entry a burst.
    bool indexDialect = false;
    // Text-mode submissions without a prompt, confirmed later by a status report.
    bool unpromptedSubmit = false;
};

// The registration states a profile may name, and their numbers in "+CREG:"; -1 for none.
int RegistrationNumber(const std::string& state);

// One row for each code the library gives a name.
std::span<const SimulatedModel> SimulatedModels();

// A profile whose answers to "AT+GMM", "AT+CGMM" and "AT+CGMR" name `model`, with the
// quirks of its row, found by the table's names or families; "generic:NAME" is a modem of
// the standard dialect naming itself NAME. None when the library knows no such model.
std::optional<ModemProfile> KnownProfile(const std::string& model);

// The same, and for a name the library does not know, a modem of the common dialect that
// names it: a module the library cannot identify.
ModemProfile ProfileFor(const std::string& model);

// The names the library knows, in its matching order, separated by ", ".
std::string KnownModelNames();

// The family names the library knows, the same way.
std::string KnownFamilyNames();

}  // namespace ModemSim
