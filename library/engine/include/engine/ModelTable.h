// Everything that differs by modem model, one row per model code. The rows are constant
// data, readable at compile time, so that the simulator can answer to the same names
// without linking the library.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace GSM {

// Model codes.
inline constexpr int32_t kModelNone = 0;
inline constexpr int32_t kModelMG3732 = 7;
inline constexpr int32_t kModelMT3732 = 8;
inline constexpr int32_t kModelCommon = 9;
inline constexpr int32_t kModelMC8332 = 10;
inline constexpr int32_t kModelMC8618 = 11;
inline constexpr int32_t kModelLQCIT = 13;
inline constexpr int32_t kModelSIM6320C = 15;
inline constexpr int32_t kModelA8500 = 16;
inline constexpr int32_t kModelCEM630 = 17;
inline constexpr int32_t kModelUC20 = 18;
inline constexpr int32_t kModelSIM7600CE = 19;
inline constexpr int32_t kModelSIM7600CEUcs2 = 20;
// A modem no row names, which answers the standard queries as a 3GPP modem should.
inline constexpr int32_t kModelGeneric = 21;

enum class SetupStepKind {
    EchoOff,
    CheckSim,
    PreferredStorage,
    NewMessageIndication,
    MessageFormat,
    CharacterSet
};

struct SetupStep {
    SetupStepKind kind;
    const char* text = nullptr;  // storages or character-set name
    int values[5] = {};          // indication settings, or the message format in values[0]
};

// Bytes of a plain-text part and UTF-16 units of a UCS2 part.
struct PartSizes {
    int plainBytes;
    int ucs2Units;
};

// The command by which the worker puts the modem into a part's coding.
enum class CodingCommand {
    MessageFormat,    // "AT+CMGF"
    CharacterSet,     // "AT+CSCS"
    MessageEncoding,  // "AT+ZMSGL"
};

// The values of that command for one coding; only the command's own field is read.
struct CodingValues {
    int format = 0;
    const char* characterSet = nullptr;
    int encoding[2] = {};
};

struct CodingSwitch {
    CodingCommand command;
    CodingValues plain;
    CodingValues ucs2;
    // The message format written after every part, whatever its outcome.
    std::optional<int> formatAfterPart;
};

// How a part is submitted.
enum class SubmitMethod {
    Prompted,    // text mode for plain parts, PDU mode for UCS2 parts, after a prompt
    Ucs2Text,    // text mode after a prompt, UCS2 parts with number and text as UCS2 hex
    Unprompted,  // command and body in one write, the plain text unmapped
};

// How received messages are listed.
enum class ReceiveMethod {
    PduListing,  // "AT+CMGL=4"
    Ucs2Text,    // "AT+CMGL=\"ALL\"" in the UCS2 character set
    ByIndex,     // indexes by status, then "AT+CMGR" for each
};

struct ReceiveProfile {
    ReceiveMethod method;
    std::string_view listingTag = "+CMGL:";  // the tag of a PDU listing entry
    bool blankLineAfterHeader = false;       // a PDU listing entry's header ends in an empty line
};

// How a row's modem hands over delivery reports once they are asked for (AT+CNMI's ds
// field). No mode here needs AT+CNMA: the message service stays at its default phase.
enum class ReportRoute {
    Unsupported,     // no usable form: a part never asks for a report there
    ReportMemory,    // kept in "SR" memory and announced: +CDSI: "SR",<index> (ds 2)
    StoredMessages,  // kept among received messages, which the listing finds (ds 2)
    Direct,          // routed at once: +CDS: <length> and the unit (ds 1)
};

// A code refined at set-up by the network the SIM names: on these networks the modem
// takes the dialect of `code`.
struct OperatorRefinement {
    std::array<std::string_view, 3> networks = {};
    int32_t code = kModelNone;
};

inline constexpr std::size_t kMaxModelNames = 13;
inline constexpr std::size_t kMaxFamilyNames = 3;
inline constexpr std::size_t kMaxFamilies = 4;

// Modules a row does not name but whose dialect is the row's. A family name is found where
// it begins a word and no digit follows it ("SIM800" in "SIMCOM_SIM800L", not "EC20" in
// "EC200U"), and only when no row's own name was in any reply of an identification pass:
// a row's own names always win.
struct ModelFamily {
    std::array<std::string_view, kMaxFamilyNames> names = {};  // the first empty one ends them
    std::string_view reason;                                   // why the row's dialect fits
};

struct ModelProfile {
    int32_t code;
    // Searched for, case-sensitively, as substrings of an identification reply; the first
    // empty name ends the list.
    std::array<std::string_view, kMaxModelNames> names = {};
    std::array<ModelFamily, kMaxFamilies> families = {};  // the first without names ends them
    std::span<const SetupStep> setup = {};                // empty: the set-up fails
    PartSizes parts;
    bool alwaysUcs2 = false;  // every text goes as UCS2
    CodingSwitch codingSwitch;
    SubmitMethod submitMethod;
    ReceiveProfile receive;
    OperatorRefinement refinement = {};
    ReportRoute reports = ReportRoute::Unsupported;
};

namespace ModelRows {

using K = SetupStepKind;

inline constexpr SetupStep kSetupMG3732[] = {
    {K::EchoOff},
    {K::CheckSim},
    {K::PreferredStorage, "SM\",\"SM\",\"SM"},
    {K::NewMessageIndication, nullptr, {1, 3, 0, 0, 0}},
    {K::MessageFormat, nullptr, {0}},
};

inline constexpr SetupStep kSetupMT3732[] = {
    {K::EchoOff},
    {K::CheckSim},
    {K::PreferredStorage, "SM"},
    {K::NewMessageIndication, nullptr, {3, 0, 1, 1, 0}},
    {K::MessageFormat, nullptr, {0}},
};

inline constexpr SetupStep kSetupCommon[] = {
    {K::EchoOff},
    {K::CheckSim},
    {K::NewMessageIndication, nullptr, {1, 0, 0, 0, 1}},
    {K::MessageFormat, nullptr, {0}},
};

inline constexpr SetupStep kSetupIndexed[] = {
    {K::EchoOff},
    {K::CheckSim},
    {K::PreferredStorage, "MT"},
    {K::NewMessageIndication, nullptr, {2, 1, 1, 1, 0}},
    {K::MessageFormat, nullptr, {1}},
};

inline constexpr SetupStep kSetupLQCIT[] = {
    {K::EchoOff},
    {K::CheckSim},
    {K::PreferredStorage, "SM"},
    {K::NewMessageIndication, nullptr, {1, 0, 0, 0, 1}},
    {K::MessageFormat, nullptr, {0}},
};

inline constexpr SetupStep kSetupUcs2Text[] = {
    {K::EchoOff},
    {K::CheckSim},
    {K::PreferredStorage, "SM"},
    {K::NewMessageIndication, nullptr, {1, 0, 0, 0, 1}},
    {K::MessageFormat, nullptr, {1}},
    {K::CharacterSet, "UCS2"},
};

// The standard steps, and the GSM character set that the text-mode body of a plain part is
// mapped to: a modem the table does not know may have any other set.
inline constexpr SetupStep kSetupGeneric[] = {
    {K::EchoOff},
    {K::CheckSim},
    {K::NewMessageIndication, nullptr, {1, 0, 0, 0, 1}},
    {K::MessageFormat, nullptr, {0}},
    {K::CharacterSet, "GSM"},
};

inline constexpr PartSizes kStandardParts = {.plainBytes = 140, .ucs2Units = 70};

// Text mode for a plain part, PDU mode for a UCS2 part, and PDU mode again after either.
inline constexpr CodingSwitch kSwitchFormat = {
    .command = CodingCommand::MessageFormat,
    .plain = {.format = 1},
    .ucs2 = {.format = 0},
    .formatAfterPart = 0,
};

inline constexpr CodingSwitch kSwitchCharacterSet = {
    .command = CodingCommand::CharacterSet,
    .plain = {.characterSet = "GSM"},
    .ucs2 = {.characterSet = "UCS2"},
    .formatAfterPart = std::nullopt,
};

inline constexpr CodingSwitch kSwitchEncoding = {
    .command = CodingCommand::MessageEncoding,
    .plain = {.encoding = {1, 2}},
    .ucs2 = {.encoding = {6, 4}},
    .formatAfterPart = std::nullopt,
};

inline constexpr ReceiveProfile kPduListing = {.method = ReceiveMethod::PduListing};

}  // namespace ModelRows

// In matching order: the first row holding a name found in the reply decides. Rows without
// names are reached only by their code.
inline constexpr ModelProfile kModelProfiles[] = {
    {
        .code = kModelCommon,
        .names = {"MC37i", "MG323", "MG2639", "MG301", "GL868", "GL865", "M35", "MU509", "MU609",
                  "MU709", "SIM5360E", "EC20F", "N720"},
        .families = {{
            {{"EC20", "EC21", "EC25"},
             "Quectel's LTE modules of EC20F's line: the same firmware, the standard PDU "
             "dialect, text mode for plain parts"},
            {{"E1750", "E1752", "E173"},
             "Huawei's 3GPP USB sticks: the standard PDU dialect of Huawei's MU509, MU609 "
             "and MU709"},
            {{"MF180"}, "ZTE's 3GPP USB stick: the same standard PDU dialect as Huawei's"},
            {{"HSDPA Modem"},
             "what some rebadged 3GPP USB sticks answer instead of a model name; those met "
             "speak the standard PDU dialect of the sticks above"},
        }},
        .setup = ModelRows::kSetupCommon,
        .parts = ModelRows::kStandardParts,
        .codingSwitch = ModelRows::kSwitchFormat,
        .submitMethod = SubmitMethod::Prompted,
        .receive = ModelRows::kPduListing,
        // The 3GPP modules of this row route a report at once as +CDS with ds 1.
        .reports = ReportRoute::Direct,
    },
    {
        .code = kModelUC20,
        .names = {"UC20", "SIM800C"},
        .families = {{
            {{"SIM800"},
             "SIMCom's 2G modules of SIM800C's line (SIM800, SIM800L, SIM800H, SIM800A): one "
             "firmware, so every text goes as UCS2 as on the SIM800C"},
        }},
        .setup = ModelRows::kSetupCommon,
        .parts = ModelRows::kStandardParts,
        .alwaysUcs2 = true,
        .codingSwitch = ModelRows::kSwitchFormat,
        .submitMethod = SubmitMethod::Prompted,
        .receive = ModelRows::kPduListing,
        .reports = ReportRoute::Direct,
    },
    {
        .code = kModelA8500,
        .names = {"A8500"},
        .setup = ModelRows::kSetupCommon,
        .parts = ModelRows::kStandardParts,
        .codingSwitch = ModelRows::kSwitchFormat,
        .submitMethod = SubmitMethod::Prompted,
        .receive = {.method = ReceiveMethod::PduListing, .blankLineAfterHeader = true},
        // No manual of the module's report routing was found.
        .reports = ReportRoute::Unsupported,
    },
    {
        .code = kModelCEM630,
        .names = {"CEM630"},
        .setup = ModelRows::kSetupCommon,
        .parts = ModelRows::kStandardParts,
        .codingSwitch = ModelRows::kSwitchFormat,
        .submitMethod = SubmitMethod::Prompted,
        .receive = {.method = ReceiveMethod::PduListing, .listingTag = "^HCMGL:"},
        // No manual of the module's report routing was found.
        .reports = ReportRoute::Unsupported,
    },
    {
        .code = kModelMC8332,
        .names = {"MC8332", "MC8332D"},
        .setup = ModelRows::kSetupIndexed,
        .parts = {.plainBytes = 120, .ucs2Units = 60},
        .codingSwitch = ModelRows::kSwitchEncoding,
        .submitMethod = SubmitMethod::Unprompted,
        .receive = {.method = ReceiveMethod::ByIndex},
        // CDMA: no 3GPP delivery report.
        .reports = ReportRoute::Unsupported,
    },
    {
        .code = kModelMC8618,
        .names = {"MC8618"},
        .setup = ModelRows::kSetupIndexed,
        .parts = {.plainBytes = 159, .ucs2Units = 69},
        .codingSwitch = ModelRows::kSwitchEncoding,
        .submitMethod = SubmitMethod::Unprompted,
        .receive = {.method = ReceiveMethod::ByIndex},
        // CDMA: no 3GPP delivery report.
        .reports = ReportRoute::Unsupported,
    },
    {
        .code = kModelMG3732,
        .names = {"MG3732"},
        .setup = ModelRows::kSetupMG3732,
        .parts = ModelRows::kStandardParts,
        .codingSwitch = ModelRows::kSwitchFormat,
        .submitMethod = SubmitMethod::Prompted,
        .receive = ModelRows::kPduListing,
        // Every storage is SM: with ds 2 a report lands among the messages.
        .reports = ReportRoute::StoredMessages,
    },
    {
        .code = kModelMT3732,
        .names = {"MT3732"},
        .setup = ModelRows::kSetupMT3732,
        .parts = ModelRows::kStandardParts,
        .codingSwitch = ModelRows::kSwitchFormat,
        .submitMethod = SubmitMethod::Prompted,
        .receive = ModelRows::kPduListing,
        // Its set-up routes reports at once already (ds 1).
        .reports = ReportRoute::Direct,
    },
    {
        .code = kModelLQCIT,
        .names = {"LQCIT"},
        .setup = ModelRows::kSetupLQCIT,
        .parts = ModelRows::kStandardParts,
        .alwaysUcs2 = true,
        .codingSwitch = ModelRows::kSwitchFormat,
        .submitMethod = SubmitMethod::Prompted,
        .receive = ModelRows::kPduListing,
        // No manual of the module's report routing was found.
        .reports = ReportRoute::Unsupported,
    },
    {
        .code = kModelSIM6320C,
        .names = {"SIM6320C"},
        .setup = ModelRows::kSetupUcs2Text,
        .parts = ModelRows::kStandardParts,
        .codingSwitch = ModelRows::kSwitchCharacterSet,
        .submitMethod = SubmitMethod::Ucs2Text,
        .receive = {.method = ReceiveMethod::Ucs2Text},
        // CDMA: no 3GPP delivery report.
        .reports = ReportRoute::Unsupported,
    },
    {
        .code = kModelSIM7600CE,
        .names = {"SIM7600CE"},
        .setup = ModelRows::kSetupCommon,
        .parts = ModelRows::kStandardParts,
        .codingSwitch = ModelRows::kSwitchFormat,
        .submitMethod = SubmitMethod::Prompted,
        .receive = ModelRows::kPduListing,
        .refinement = {.networks = {"46003", "46005", "46011"}, .code = kModelSIM7600CEUcs2},
        // Reports go to the module's own SR memory, announced by +CDSI.
        .reports = ReportRoute::ReportMemory,
    },
    {
        .code = kModelSIM7600CEUcs2,
        .setup = ModelRows::kSetupUcs2Text,
        .parts = ModelRows::kStandardParts,
        .codingSwitch = ModelRows::kSwitchCharacterSet,
        .submitMethod = SubmitMethod::Ucs2Text,
        .receive = {.method = ReceiveMethod::Ucs2Text},
        // CDMA networks: no 3GPP delivery report.
        .reports = ReportRoute::Unsupported,
    },
    // A modem that names itself with nothing above but offers PDU and text mode, message
    // storage and the GSM character set (AT+CMGF=?, AT+CPMS=?, AT+CSCS=?): the standard
    // dialect, PDU mode with the standard listing and prompted submission.
    {
        .code = kModelGeneric,
        .setup = ModelRows::kSetupGeneric,
        .parts = ModelRows::kStandardParts,
        .codingSwitch = ModelRows::kSwitchFormat,
        .submitMethod = SubmitMethod::Prompted,
        .receive = ModelRows::kPduListing,
        // A 3GPP modem routes a report at once with ds 1.
        .reports = ReportRoute::Direct,
    },
    // No model identified: nothing is set up; what a part or a listing would do is the
    // common dialect's.
    {
        .code = kModelNone,
        .parts = ModelRows::kStandardParts,
        .codingSwitch = ModelRows::kSwitchFormat,
        .submitMethod = SubmitMethod::Prompted,
        .receive = ModelRows::kPduListing,
    },
};

// The names of a row, up to its first empty one.
constexpr std::span<const std::string_view> NamesOf(const ModelProfile& profile) {
    std::size_t count = 0;
    while (count < profile.names.size() && !profile.names[count].empty()) {
        ++count;
    }
    return std::span<const std::string_view>(profile.names.data(), count);
}

// The names of a family, up to its first empty one.
constexpr std::span<const std::string_view> NamesOf(const ModelFamily& family) {
    std::size_t count = 0;
    while (count < family.names.size() && !family.names[count].empty()) {
        ++count;
    }
    return std::span<const std::string_view>(family.names.data(), count);
}

// The families of a row, up to the first without names.
constexpr std::span<const ModelFamily> FamiliesOf(const ModelProfile& profile) {
    std::size_t count = 0;
    while (count < profile.families.size() && !NamesOf(profile.families[count]).empty()) {
        ++count;
    }
    return std::span<const ModelFamily>(profile.families.data(), count);
}

// The row of a code; codes without one (none identified, the port closed, codes never
// given) have the row of kModelNone.
constexpr const ModelProfile& ProfileOf(int32_t code) {
    for (const ModelProfile& profile : kModelProfiles) {
        if (profile.code == code) {
            return profile;
        }
    }
    return ProfileOf(kModelNone);
}

// The code of the first row one of whose names `reply` holds; kModelNone when none.
constexpr int32_t CodeOfReply(std::string_view reply) {
    for (const ModelProfile& profile : kModelProfiles) {
        for (std::string_view name : NamesOf(profile)) {
            if (reply.find(name) != std::string_view::npos) {
                return profile.code;
            }
        }
    }
    return kModelNone;
}

// Whether `name` stands in `reply` as a family name: beginning a word, no digit after it.
constexpr bool HoldsFamilyName(std::string_view reply, std::string_view name) {
    const auto alphanumeric = [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    };
    for (std::size_t at = reply.find(name); at != std::string_view::npos;
         at = reply.find(name, at + 1)) {
        const std::size_t end = at + name.size();
        const bool wordStart = at == 0 || !alphanumeric(reply[at - 1]);
        const bool digitAfter = end < reply.size() && reply[end] >= '0' && reply[end] <= '9';
        if (wordStart && !digitAfter) {
            return true;
        }
    }
    return false;
}

// The code of the first row one of whose families `reply` names; kModelNone when none.
constexpr int32_t CodeOfFamily(std::string_view reply) {
    for (const ModelProfile& profile : kModelProfiles) {
        for (const ModelFamily& family : FamiliesOf(profile)) {
            for (std::string_view name : NamesOf(family)) {
                if (HoldsFamilyName(reply, name)) {
                    return profile.code;
                }
            }
        }
    }
    return kModelNone;
}

// Whether a model's submissions can carry a user-data header: those in PDU mode. The CDMA
// dialects submit text without one, so a long text goes there as independent parts.
constexpr bool CarriesHeader(int32_t code) {
    return code != kModelNone && ProfileOf(code).submitMethod == SubmitMethod::Prompted;
}

// Whether plain text is mapped to the GSM alphabet on submission, so that the characters
// the mapping loses must go as UCS2.
constexpr bool MapsPlainText(SubmitMethod method) {
    switch (method) {
        case SubmitMethod::Prompted:
        case SubmitMethod::Ucs2Text:
            return true;
        case SubmitMethod::Unprompted:
            return false;
    }
    return true;
}

}  // namespace GSM
