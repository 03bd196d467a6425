#include "engine/ModelTable.h"

namespace GSM {

namespace {

constexpr ModelName kModelNames[] = {
    {"MC37i", kModelCommon},        {"MG323", kModelCommon},    {"MG2639", kModelCommon},
    {"MG301", kModelCommon},        {"GL868", kModelCommon},    {"GL865", kModelCommon},
    {"M35", kModelCommon},          {"MU509", kModelCommon},    {"MU609", kModelCommon},
    {"MU709", kModelCommon},        {"SIM5360E", kModelCommon}, {"EC20F", kModelCommon},
    {"N720", kModelCommon},         {"UC20", kModelUC20},       {"SIM800C", kModelUC20},
    {"A8500", kModelA8500},         {"CEM630", kModelCEM630},   {"MC8332", kModelMC8332},
    {"MC8332D", kModelMC8332},      {"MC8618", kModelMC8618},   {"MG3732", kModelMG3732},
    {"MT3732", kModelMT3732},       {"LQCIT", kModelLQCIT},     {"SIM6320C", kModelSIM6320C},
    {"SIM7600CE", kModelSIM7600CE},
};

using K = SetupStepKind;

constexpr SetupStep kSetupMG3732[] = {
    {K::EchoOff, nullptr, {}},
    {K::CheckSim, nullptr, {}},
    {K::PreferredStorage, "SM\",\"SM\",\"SM", {}},
    {K::NewMessageIndication, nullptr, {1, 3, 0, 0, 0}},
    {K::MessageFormat, nullptr, {0}},
};

constexpr SetupStep kSetupMT3732[] = {
    {K::EchoOff, nullptr, {}},        {K::CheckSim, nullptr, {}},
    {K::PreferredStorage, "SM", {}},  {K::NewMessageIndication, nullptr, {3, 0, 1, 1, 0}},
    {K::MessageFormat, nullptr, {0}},
};

constexpr SetupStep kSetupCommon[] = {
    {K::EchoOff, nullptr, {}},
    {K::CheckSim, nullptr, {}},
    {K::NewMessageIndication, nullptr, {1, 0, 0, 0, 1}},
    {K::MessageFormat, nullptr, {0}},
};

constexpr SetupStep kSetupMC8332[] = {
    {K::EchoOff, nullptr, {}},        {K::CheckSim, nullptr, {}},
    {K::PreferredStorage, "MT", {}},  {K::NewMessageIndication, nullptr, {2, 1, 1, 1, 0}},
    {K::MessageFormat, nullptr, {1}},
};

constexpr SetupStep kSetupLQCIT[] = {
    {K::EchoOff, nullptr, {}},        {K::CheckSim, nullptr, {}},
    {K::PreferredStorage, "SM", {}},  {K::NewMessageIndication, nullptr, {1, 0, 0, 0, 1}},
    {K::MessageFormat, nullptr, {0}},
};

constexpr SetupStep kSetupUcs2Text[] = {
    {K::EchoOff, nullptr, {}},        {K::CheckSim, nullptr, {}},
    {K::PreferredStorage, "SM", {}},  {K::NewMessageIndication, nullptr, {1, 0, 0, 0, 1}},
    {K::MessageFormat, nullptr, {1}}, {K::CharacterSet, "UCS2", {}},
};

struct SetupEntry {
    int32_t code;
    std::span<const SetupStep> steps;
};

constexpr SetupEntry kSetups[] = {
    {kModelMG3732, kSetupMG3732},     {kModelMT3732, kSetupMT3732},
    {kModelCommon, kSetupCommon},     {kModelMC8332, kSetupMC8332},
    {kModelMC8618, kSetupMC8332},     {kModelLQCIT, kSetupLQCIT},
    {kModelSIM6320C, kSetupUcs2Text}, {kModelA8500, kSetupCommon},
    {kModelCEM630, kSetupCommon},     {kModelUC20, kSetupCommon},
    {kModelSIM7600CE, kSetupCommon},  {kModelSIM7600CEUcs2, kSetupUcs2Text},
};

constexpr const char* kUcs2Operators[] = {"46003", "46005", "46011"};

}  // namespace

std::span<const ModelName> ModelNames() {
    return kModelNames;
}

std::span<const SetupStep> SetupSequence(int32_t code) {
    for (const auto& entry : kSetups) {
        if (entry.code == code) {
            return entry.steps;
        }
    }
    return {};
}

ModelTraits TraitsFor(int32_t code) {
    ModelTraits traits;
    switch (code) {
        case kModelMC8332:
        case kModelMC8618:
            traits.plainPartBytes = code == kModelMC8332 ? 120 : 159;
            traits.ucs2PartUnits = code == kModelMC8332 ? 60 : 69;
            traits.plainMapsThroughGsm = false;
            traits.codingSwitch = CodingSwitch::MessageEncoding;
            traits.submitMethod = SubmitMethod::Unprompted;
            traits.receiveMethod = ReceiveMethod::ByIndex;
            break;
        case kModelLQCIT:
        case kModelUC20:
            traits.alwaysUcs2 = true;
            break;
        case kModelSIM6320C:
        case kModelSIM7600CEUcs2:
            traits.codingSwitch = CodingSwitch::CharacterSet;
            traits.submitMethod = SubmitMethod::Ucs2Text;
            traits.receiveMethod = ReceiveMethod::Ucs2Text;
            break;
        case kModelA8500:
            traits.blankLineAfterHeader = true;
            break;
        case kModelCEM630:
            traits.listingTag = "^HCMGL:";
            break;
        default:
            break;
    }
    return traits;
}

std::span<const char* const> Ucs2OperatorCodes() {
    return kUcs2Operators;
}

}  // namespace GSM
