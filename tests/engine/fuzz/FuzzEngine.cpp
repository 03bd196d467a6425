// Arbitrary modem output into each engine operation. The first byte picks the operation,
// the second its variant (model code, coding, index); the rest is what the modem sends,
// in bursts separated by 0xFE (0xFD: the next burst comes with a line error). An empty
// burst is a read that finds the line silent.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "FakeLine.h"
#include "FuzzCheck.h"
#include "engine/ComBaseCmd.h"
#include "engine/ModelTable.h"
#include "engine/ProcessState.h"
#include "serial/CSXCom.h"

namespace {

using EngineFuzz::Require;

constexpr int32_t kSetupCodes[] = {7, 8, 9, 10, 11, 13, 15, 16, 17, 18, 19, 20, 21};
constexpr int32_t kSubmitCodes[] = {9, 10, 15};
constexpr int32_t kListingCodes[] = {9, 16, 17, 10, 15};

// No time limit at all: each read takes what has arrived, or nothing.
constexpr serial::SerialTiming kNoWaiting{0, 0, 0, 0, 0, 0, 0};

template <std::size_t N>
int32_t Pick(const int32_t (&codes)[N], uint8_t variant) {
    return codes[variant % N];
}

GSM::OutgoingPart Part(uint8_t variant) {
    GSM::OutgoingPart part;
    std::memset(&part, 0, sizeof part);
    std::strcpy(part.record.serviceCentre, "8613800100500");
    std::strcpy(part.record.number, "8613912345678");
    part.prefixLength = 2;
    part.serviceCentreInternational = (variant & 8) == 0;
    if ((variant & 4) == 0) {
        std::strcpy(part.record.text, "Hello [x] {}");
        part.record.coding = GSM::kCodingPlain;
    } else {
        std::strcpy(part.record.text, "\xE4\xBD\xA0\xE5\xA5\xBD \xD0\x9F\xD1\x80\xD0\xB8");
        part.record.coding = GSM::kCodingUcs2;
    }
    return part;
}

void CheckListing(int count, const std::vector<GSM::MsgRecord>& records,
                  const std::vector<int>& indexes, bool tagged) {
    Require(count >= 0 && count <= GSM::kMaxListed, "listing count in 0..200");
    for (int i = 0; i < count; ++i) {
        const auto at = static_cast<std::size_t>(i);
        EngineFuzz::RequireTerminated(records[at]);
        if (tagged) {
            Require(
                records[at].tag == static_cast<int8_t>(static_cast<uint8_t>(indexes[at] & 0xFF)),
                "record tag is the low byte of its index");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const uint8_t operation = static_cast<uint8_t>(data[0] - '0') % 8;
    const auto variant = static_cast<uint8_t>(data[1] - '0');
    EngineFuzz::Line().Load(std::string_view(reinterpret_cast<const char*>(data) + 2, size - 2));

    CSXCom port;
    port.AttachLine(EngineFuzz::Line());
    port.SetTiming(kNoWaiting);
    Require(port.Open(1, 115200) == 1, "the fake port opens");
    GSM::IComBaseCmd engine;
    GSM::SetLastError("");
    GSM::modelCode.store(GSM::kModelCodeAtLoad);

    switch (operation) {
        case 0: {
            const int code = engine.Identify(port);
            // A row's code, the generic one, or none.
            bool known = code == GSM::kModelNone || code == GSM::kModelGeneric;
            for (const GSM::ModelProfile& profile : GSM::kModelProfiles) {
                known = known || (profile.code == code && !GSM::NamesOf(profile).empty());
            }
            Require(known, "identification gives a known model code");
            break;
        }
        case 1: {
            const int32_t code = Pick(kSetupCodes, variant);
            GSM::modelCode.store(code);
            const int result = GSM::ToFlag(GSM::SetupModem(engine, port, code));
            Require(result == 0 || result == 1, "set-up gives 0 or 1");
            break;
        }
        case 2: {
            GSM::modelCode.store(Pick(kSubmitCodes, variant));
            const int result = engine.SendMessage(port, Part(variant));
            Require(result == 0 || result == 1, "submission gives 0 or 1");
            // An accepted part was sent whole: its body, closed by Ctrl-Z, went out.
            Require(result == 0 || EngineFuzz::Line().Written().find('\x1A') != std::string::npos,
                    "an accepted part's body was written");
            break;
        }
        case 3: {
            const int32_t code = Pick(kListingCodes, variant);
            GSM::modelCode.store(code);
            std::vector<GSM::MsgRecord> records(GSM::kMaxListed);
            std::vector<int> indexes(GSM::kMaxListed, -7777);
            for (GSM::MsgRecord& record : records) {
                EngineFuzz::Dirty(record);
            }
            const int count = engine.ReadMessages(port, records.data(), indexes.data());
            const bool tagged = GSM::ProfileOf(code).receive.method != GSM::ReceiveMethod::Ucs2Text;
            CheckListing(count, records, indexes, tagged);
            break;
        }
        case 4: {
            GSM::MsgRecord record;
            EngineFuzz::Dirty(record);
            const int result = engine.ReadMessage(port, variant, record);
            Require(result == 0 || result == 1, "reading gives 0 or 1");
            if (result == 1) {
                EngineFuzz::RequireTerminated(record);
            }
            break;
        }
        case 5: {
            const int result = engine.DeleteMessage(port, variant);
            Require(result == 0 || result == 1, "deletion gives 0 or 1");
            break;
        }
        case 6: {
            char number[GSM::kServiceCentreCapacity + 1];
            std::memset(number, 'x', sizeof number);
            bool international = false;
            const int result = engine.GetServiceCentre(port, number, &international);
            Require(result == 0 || result == 1, "service-centre query gives 0 or 1");
            Require(number[GSM::kServiceCentreCapacity] == 'x',
                    "service centre stays in its buffer");
            if (result == 1) {
                Require(std::memchr(number, '\0', GSM::kServiceCentreCapacity) != nullptr,
                        "service centre terminated");
                Require(number[0] != '\0', "a service centre found is not empty");
            }
            break;
        }
        default: {
            char code[6];
            std::memset(code, 'x', sizeof code);
            const int result = engine.GetOperatorCode(port, code);
            Require(result == 0 || result == 1, "operator query gives 0 or 1");
            Require(code[5] == 'x', "operator code is five characters");
            break;
        }
    }
    EngineFuzz::RequireLastErrorInRange();
    port.Close();
    return 0;
}
