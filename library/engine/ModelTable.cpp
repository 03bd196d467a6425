#include "engine/ModelTable.h"

namespace GSM {

namespace {

constexpr int CountRows(int32_t code) {
    int count = 0;
    for (const ModelProfile& profile : kModelProfiles) {
        count += profile.code == code ? 1 : 0;
    }
    return count;
}

constexpr bool EveryCodeHasOneRow() {
    for (const ModelProfile& profile : kModelProfiles) {
        if (CountRows(profile.code) != 1) {
            return false;
        }
    }
    return CountRows(kModelNone) == 1;
}

// A refinement must lead to a row of its own, or the refined modem would run no set-up.
constexpr bool RefinementsHaveRows() {
    for (const ModelProfile& profile : kModelProfiles) {
        const int32_t target = profile.refinement.code;
        if (target != kModelNone && (CountRows(target) != 1 || target == profile.code)) {
            return false;
        }
    }
    return true;
}

// A name in two rows would make the later row unreachable by it.
constexpr bool NamesAreUnique() {
    int names = 0;
    for (const ModelProfile& profile : kModelProfiles) {
        for (std::string_view name : NamesOf(profile)) {
            ++names;
            int seen = 0;
            for (const ModelProfile& other : kModelProfiles) {
                for (std::string_view otherName : NamesOf(other)) {
                    seen += otherName == name ? 1 : 0;
                }
            }
            if (seen != 1) {
                return false;
            }
        }
    }
    return names > 0;
}

// A family name in two rows, or one that a row's own name holds, would be decided by the
// table's order rather than by its reason.
constexpr bool FamilyNamesAreUnique() {
    for (const ModelProfile& profile : kModelProfiles) {
        for (const ModelFamily& family : FamiliesOf(profile)) {
            for (std::string_view name : NamesOf(family)) {
                int seen = 0;
                for (const ModelProfile& other : kModelProfiles) {
                    for (const ModelFamily& otherFamily : FamiliesOf(other)) {
                        for (std::string_view otherName : NamesOf(otherFamily)) {
                            seen += otherName == name ? 1 : 0;
                        }
                    }
                    for (std::string_view own : NamesOf(other)) {
                        seen += own == name ? 1 : 0;
                    }
                }
                if (seen != 1 || family.reason.empty()) {
                    return false;
                }
            }
        }
    }
    return true;
}

static_assert(EveryCodeHasOneRow());
static_assert(FamilyNamesAreUnique());
static_assert(NamesOf(ProfileOf(kModelGeneric)).empty());
static_assert(CodeOfFamily("SIMCOM_SIM800L") == kModelUC20);
static_assert(CodeOfFamily("EC200U") == kModelNone);
static_assert(RefinementsHaveRows());
static_assert(NamesAreUnique());
static_assert(NamesOf(ProfileOf(kModelNone)).empty());

}  // namespace

}  // namespace GSM
