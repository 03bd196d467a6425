// What the network tells of a submitted part's delivery: the SMS-STATUS-REPORT unit of PDU
// mode, or the fields of a text-mode "+CDS:" line. Pure functions, no I/O.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace GSM {

struct StatusReport {
    int reference = -1;     // TP-MR of the part it reports on, 0 to 255
    std::string recipient;  // TP-RA as digits, without "+"
    bool internationalRecipient = false;
    int status = -1;  // TP-ST
    // "yyyy-mm-dd hh:mm:ss+hh:mm": when the centre took the part, and when it was delivered
    // (or the last attempt failed).
    std::string serviceCentreTime;
    std::string dischargeTime;
    int storageIndex = -1;  // where the modem kept it; -1 when routed at once
};

// What a status code says of the part: delivered (0x00-0x1F), still being tried
// (0x20-0x3F), or failed for good (0x40-0x7F and the reserved rest).
enum class DeliveryState { Delivered, Pending, Failed };
DeliveryState DeliveryStateOf(int status);

// The unit at the start of `pdu` (hex, service-centre part first, as modems list it);
// none when it is not an SMS-STATUS-REPORT or is cut short.
std::optional<StatusReport> ParseStatusReportPdu(std::string_view pdu);

// The fields behind a text-mode "+CDS:" tag:
// <fo>,<mr>,[<ra>],[<tora>],<scts>,<dt>,<st>; none when they do not read as a report.
std::optional<StatusReport> ParseStatusReportText(std::string_view fields);

// A delivery-report line the modem sent on its own, as the reply reader keeps it: the
// report itself ("+CDS: <length>" with "\r\n" and the unit, or the text-mode fields), or
// where it was stored ("+CDSI: <storage>,<index>").
struct ReportLine {
    std::optional<StatusReport> report;
    std::string storage;
    int index = -1;
};
std::optional<ReportLine> ReadReportLine(std::string_view line);

}  // namespace GSM
