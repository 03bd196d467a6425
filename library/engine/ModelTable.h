// Everything that differs by modem model, keyed by the model code: the names that identify
// a model and the set-up sequence each code runs.
#pragma once

#include <cstdint>
#include <span>

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

// A name searched for, case-sensitively, as a substring of an identification reply.
struct ModelName {
    const char* name;
    int32_t code;
};

// In matching order: the first name found in a reply decides.
std::span<const ModelName> ModelNames();

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
    const char* text;  // storages or character-set name
    int values[5];     // indication settings, or the message format in values[0]
};

// The set-up sequence of a model code; empty for codes that have none.
std::span<const SetupStep> SetupSequence(int32_t code);

// How the worker puts the modem into a part's coding before submitting it.
enum class CodingSwitch {
    MessageFormat,    // "AT+CMGF" 1 or 0 before, and 0 again after every part
    CharacterSet,     // "AT+CSCS" "GSM" or "UCS2"
    MessageEncoding,  // "AT+ZMSGL" 1,2 or 6,4
};

// How a part is submitted.
enum class SubmitMethod {
    Prompted,    // text mode for plain parts, PDU mode for UCS2 parts, after a prompt
    Ucs2Text,    // text mode after a prompt, UCS2 parts with number and text as UCS2 hex
    Unprompted,  // command and body in one write
};

// How received messages are listed.
enum class ReceiveMethod {
    PduListing,  // "AT+CMGL=4"
    Ucs2Text,    // "AT+CMGL=\"ALL\"" in the UCS2 character set
    ByIndex,     // indexes by status, then "AT+CMGR" for each
};

// The per-model choices of segmentation, submission and retrieval.
struct ModelTraits {
    int plainPartBytes = 140;         // bytes of a plain-text part
    int ucs2PartUnits = 70;           // UTF-16 units of a UCS2 part
    bool alwaysUcs2 = false;          // every text goes as UCS2
    bool plainMapsThroughGsm = true;  // plain text is mapped to the GSM alphabet on submission
    CodingSwitch codingSwitch = CodingSwitch::MessageFormat;
    SubmitMethod submitMethod = SubmitMethod::Prompted;
    ReceiveMethod receiveMethod = ReceiveMethod::PduListing;
    const char* listingTag = "+CMGL:";  // the tag of a PDU listing entry
    bool blankLineAfterHeader = false;  // a PDU listing entry's header ends in an empty line
};

ModelTraits TraitsFor(int32_t code);

// Networks on which code 19 modules take the UCS2 text-mode dialect (code 20).
std::span<const char* const> Ucs2OperatorCodes();

}  // namespace GSM
