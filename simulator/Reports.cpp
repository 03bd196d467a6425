// Delivery reports: a submission that asked for one gets it from the network after a
// while, routed as the indication settings and the model's way say.
#include "Formats.h"
#include "Modem.h"
#include "ReplyText.h"

namespace ModemSim {

namespace {

// The part's number in its concatenated message; 1 for a message of one part.
int PartNumber(const std::vector<uint8_t>& header) {
    for (std::size_t at = 0; at + 2 <= header.size(); at += 2u + header[at + 1]) {
        const std::size_t length = header[at + 1];
        if (at + 2 + length > header.size()) {
            break;
        }
        if (header[at] == 0x00 && length == 3) {
            return header[at + 4];
        }
        if (header[at] == 0x08 && length == 4) {
            return header[at + 5];
        }
    }
    return 1;
}

// The fourth value of "AT+CNMI=" settings, the one for reports; 0 when not given.
int ReportSetting(const std::string& settings) {
    std::size_t at = 0;
    for (int field = 0; field < 3 && at != std::string::npos; ++field) {
        at = settings.find(',', at);
        at = at == std::string::npos ? at : at + 1;
    }
    return at == std::string::npos
               ? 0
               : WholeNumber(settings.substr(at, settings.find(',', at) - at)).value_or(0);
}

}  // namespace

void CModem::ReportLocked(const Submission& submission) {
    const int ds = ReportSetting(indication_);
    const ReportRouting routing = profile_.reportRouting;
    const bool direct = routing == ReportRouting::Direct && ds == 1;
    const bool stored =
        (routing == ReportRouting::ReportMemory || routing == ReportRouting::StoredMessages) &&
        ds == 2;
    if (!submission.statusReport || (!direct && !stored)) {
        return;
    }
    const auto part = profile_.reportStatusParts.find(PartNumber(submission.header));
    Pdu::StatusReport report;
    report.messageReference = static_cast<uint8_t>(submission.reference);
    std::string number = submission.destination;
    const bool international = !number.empty() && number.front() == '+';
    report.recipient = international ? number.substr(1) : number;
    report.recipientType = international ? Pdu::kInternational : Pdu::kUnknownType;
    report.centreTime = TimeNow();
    report.dischargeTime = report.centreTime;
    report.status = static_cast<uint8_t>(
        part != profile_.reportStatusParts.end() ? part->second : profile_.reportStatus);
    const std::string unit = Pdu::EncodeStatusReport(report);
    std::string line;
    if (direct && messageFormat_ == 1) {
        const std::string stamp = "\"" + TextStamp(report.centreTime) + "\"";
        line = Line("+CDS: 6," + std::to_string(report.messageReference) + ",\"" + number + "\"," +
                    std::to_string(report.recipientType) + "," + stamp + "," + stamp + "," +
                    std::to_string(report.status));
    } else if (direct) {
        // The unit follows on the very next line.
        line = "\r\n+CDS: " + std::to_string(unit.size() / 2 - 1) + "\r\n" + unit + "\r\n";
    }
    // The network's report comes on its own time, behind the result: the modem answers
    // commands meanwhile, and a stored one is stored only when it comes.
    const auto delay = std::chrono::milliseconds(profile_.replyLatencyMs + profile_.networkDelayMs +
                                                 profile_.reportDelayMs);
    port_.Later(delay, [this, line, unit, routing]() -> std::string {
        if (!line.empty()) {
            return line;
        }
        std::lock_guard lock(mutex_);
        return ReportArrivedLocked(routing, unit);
    });
}

std::string CModem::ReportArrivedLocked(ReportRouting routing, const std::string& unit) {
    if (routing == ReportRouting::ReportMemory) {
        int index = 1;
        while (reportMemory_.count(index) != 0) {
            ++index;
        }
        reportMemory_[index] = unit;
        // Told where a test can wait for it: nothing else shows a report nobody read.
        std::fprintf(stderr, "tarvik-modemsim: a delivery report kept in SR memory at %d\n", index);
        return Line("+CDSI: \"SR\"," + std::to_string(index));
    }
    StoredMessage kept;
    kept.reportUnit = unit;
    const int index = StoreLocked(kept);
    if (index < 0) {
        return {};  // the storage is full: the report is lost, as on a full SIM
    }
    return Line("+CDSI: \"" + profile_.storageName + "\"," + std::to_string(index));
}

}  // namespace ModemSim
