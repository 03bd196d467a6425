#include "Profiles.h"

#include <algorithm>

#include "engine/ModelTable.h"

namespace ModemSim {

namespace {

// Models sharing the library's code share a row: the library tells them apart by nothing
// else, so neither does the simulator.
constexpr SimulatedModel kSimulatedModels[] = {
    {.code = GSM::kModelCommon},
    {.code = GSM::kModelUC20},
    {.code = GSM::kModelA8500, .blankLineAfterListHeader = true},
    {.code = GSM::kModelCEM630, .listTag = "^HCMGL:"},
    {.code = GSM::kModelMC8332,
     .storageName = "MT",
     .indexDialect = true,
     .unpromptedSubmit = true},
    {.code = GSM::kModelMC8618,
     .storageName = "MT",
     .indexDialect = true,
     .unpromptedSubmit = true},
    {.code = GSM::kModelMG3732},
    {.code = GSM::kModelMT3732},
    {.code = GSM::kModelLQCIT},
    {.code = GSM::kModelSIM6320C},
    // Code 20 is this model on a few networks: the SIM's identity (imsi) makes it.
    {.code = GSM::kModelSIM7600CE},
    // A modem of the standard dialect that the library knows by no name.
    {.code = GSM::kModelGeneric},
};

const SimulatedModel& CommonModel() {
    return kSimulatedModels[0];
}

const SimulatedModel* RowOf(int32_t code) {
    const auto it = std::find_if(std::begin(kSimulatedModels), std::end(kSimulatedModels),
                                 [&](const SimulatedModel& row) { return row.code == code; });
    return it == std::end(kSimulatedModels) ? nullptr : &*it;
}

// "generic:NAME": a modem that names itself NAME and speaks the standard dialect.
constexpr std::string_view kGenericPrefix = "generic:";

// The row of a name of the table, by the table's own names first, then by its families.
const SimulatedModel* RowOfName(const std::string& model) {
    const int32_t code = GSM::CodeOfReply(model);
    return RowOf(code != GSM::kModelNone ? code : GSM::CodeOfFamily(model));
}

ModemProfile Simulate(const std::string& model, const SimulatedModel& row) {
    ModemProfile profile;
    profile.identity["AT+GMM"] = model;
    profile.identity["AT+CGMM"] = model;
    profile.identity["AT+CGMR"] = "Revision: " + model + "_V1.00";
    profile.identity["AT+CGMI"] = "SIMULATED";
    profile.storageName = std::string(row.storageName);
    profile.listTag = std::string(row.listTag);
    profile.blankLineAfterListHeader = row.blankLineAfterListHeader;
    profile.indexDialect = row.indexDialect;
    profile.unpromptedSubmit = row.unpromptedSubmit;
    switch (GSM::ProfileOf(row.code).reports) {
        case GSM::ReportRoute::Unsupported:
            profile.reportRouting = ReportRouting::None;
            break;
        case GSM::ReportRoute::ReportMemory:
            profile.reportRouting = ReportRouting::ReportMemory;
            break;
        case GSM::ReportRoute::StoredMessages:
            profile.reportRouting = ReportRouting::StoredMessages;
            break;
        case GSM::ReportRoute::Direct:
            profile.reportRouting = ReportRouting::Direct;
            break;
    }
    return profile;
}

}  // namespace

std::span<const SimulatedModel> SimulatedModels() {
    return kSimulatedModels;
}

std::optional<ModemProfile> KnownProfile(const std::string& model) {
    if (model.rfind(kGenericPrefix, 0) == 0 && model.size() > kGenericPrefix.size()) {
        return Simulate(model.substr(kGenericPrefix.size()), *RowOf(GSM::kModelGeneric));
    }
    const SimulatedModel* row = RowOfName(model);
    if (row == nullptr) {
        return std::nullopt;
    }
    return Simulate(model, *row);
}

ModemProfile ProfileFor(const std::string& model) {
    const SimulatedModel* row = RowOfName(model);
    return Simulate(model, row != nullptr ? *row : CommonModel());
}

std::string KnownModelNames() {
    std::string names;
    for (const GSM::ModelProfile& profile : GSM::kModelProfiles) {
        for (std::string_view name : GSM::NamesOf(profile)) {
            names += names.empty() ? "" : ", ";
            names += name;
        }
    }
    return names;
}

std::string KnownFamilyNames() {
    std::string names;
    for (const GSM::ModelProfile& profile : GSM::kModelProfiles) {
        for (const GSM::ModelFamily& family : GSM::FamiliesOf(profile)) {
            for (std::string_view name : GSM::NamesOf(family)) {
                names += names.empty() ? "" : ", ";
                names += name;
            }
        }
    }
    return names;
}

}  // namespace ModemSim
