#include "engine/Reports.h"

#include <algorithm>
#include <string>
#include <vector>

#include "codec/Fields.h"
#include "codec/Listing.h"
#include "codec/Reply.h"
#include "engine/CommandText.h"

namespace GSM {

namespace {

// The numbers behind `tag` in a reply, up to five of them; stops at the first that is not
// one.
std::vector<int> NumbersAfter(std::string_view reply, std::string_view tag) {
    std::vector<int> numbers;
    const std::size_t at = reply.find(tag);
    if (at == std::string_view::npos) {
        return numbers;
    }
    std::string_view rest = reply.substr(at + tag.size());
    while (numbers.size() < 5) {
        rest.remove_prefix(std::min(rest.find_first_not_of(' '), rest.size()));
        int value = 0;
        std::size_t digits = 0;
        while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9' && value < 1000) {
            value = value * 10 + (rest[digits++] - '0');
        }
        if (digits == 0) {
            break;
        }
        numbers.push_back(value);
        rest.remove_prefix(digits);
        if (rest.empty() || rest.front() != ',') {
            break;
        }
        rest.remove_prefix(1);
    }
    return numbers;
}

// The first quoted name behind "+CPMS:" (the read storage); empty when none.
std::string ReadStorage(std::string_view reply) {
    const std::size_t tag = reply.find("+CPMS:");
    const std::size_t open = tag == std::string_view::npos ? tag : reply.find('"', tag);
    const std::size_t close = open == std::string_view::npos ? open : reply.find('"', open + 1);
    if (close == std::string_view::npos) {
        return {};
    }
    return std::string(reply.substr(open + 1, close - open - 1));
}

// The reports of a listing, framed as message listings are; a listing cut short yields
// the entries before the cut.
std::vector<StatusReport> ListedReports(std::string_view listing) {
    constexpr std::string_view kTag = "+CMGL:";
    std::vector<StatusReport> reports;
    for (std::size_t at = listing.find(kTag); at != std::string_view::npos;
         at = listing.find(kTag, at)) {
        const std::optional<ListedEntry> entry = FrameEntry(listing, at, kTag.size());
        if (!entry || !HoldsAnnouncedOctets(entry->header, entry->body)) {
            break;
        }
        at = entry->end;
        const int index = Fields::ReadIndex(entry->header.substr(kTag.size()));
        std::optional<StatusReport> report = ParseStatusReportPdu(entry->body);
        if (index >= 0 && report) {
            report->storageIndex = index;
            reports.push_back(std::move(*report));
        }
    }
    return reports;
}

Outcome SelectReadStorage(IComBaseCmd& engine, CSXCom& port, std::string_view storage) {
    char command[64];
    const std::string name(storage);
    if (!FormatCommand(command, sizeof command, "AT+CPMS=\"%s\"\r\n", name.c_str())) {
        return Outcome::Failed;
    }
    return engine.SendSimpleCommand(port, command);
}

// Runs `body` with `storage` as the read storage, then sets the one before back; 0 when the
// storage could not be chosen.
int InReadStorage(IComBaseCmd& engine, CSXCom& port, std::string_view storage,
                  const std::function<int()>& body) {
    std::string before;
    if (engine.SendSimpleCommand(port, "AT+CPMS?\r\n", &before) != Outcome::Done ||
        ReadStorage(before).empty() || SelectReadStorage(engine, port, storage) != Outcome::Done) {
        return 0;
    }
    const int result = body();
    SelectReadStorage(engine, port, ReadStorage(before));
    return result;
}

}  // namespace

std::optional<std::array<int, 5>> ReportIndication(int32_t code) {
    const ModelProfile& row = ProfileOf(code);
    if (row.reports == ReportRoute::Unsupported) {
        return std::nullopt;
    }
    for (const SetupStep& step : row.setup) {
        if (step.kind == SetupStepKind::NewMessageIndication) {
            std::array<int, 5> values = {step.values[0], step.values[1], step.values[2],
                                         step.values[3], step.values[4]};
            values[3] = row.reports == ReportRoute::Direct ? 1 : 2;
            return values;
        }
    }
    return std::nullopt;
}

Outcome RouteReports(IComBaseCmd& engine, CSXCom& port, int32_t code) {
    const auto values = ReportIndication(code);
    if (!values) {
        return Outcome::Failed;
    }
    const auto& v = *values;
    return FromStatus(engine.SetNewMessageIndication(port, v[0], v[1], v[2], v[3], v[4]));
}

bool ReportsStillRouted(IComBaseCmd& engine, CSXCom& port, int32_t code) {
    const auto values = ReportIndication(code);
    std::string reply;
    if (!values || engine.SendSimpleCommand(port, "AT+CNMI?\r\n", &reply) != Outcome::Done) {
        return true;
    }
    const std::vector<int> numbers = NumbersAfter(reply, "+CNMI:");
    return numbers.size() < 4 || numbers[3] == (*values)[3];
}

bool TakeStoredReport(IComBaseCmd& engine, CSXCom& port, std::string_view storage, int index,
                      const KeepReport& keep) {
    return InReadStorage(engine, port, storage, [&] {
               char command[32];
               FormatCommand(command, sizeof command, "AT+CMGR=%d\r\n", index);
               std::string reply;
               if (engine.SendSimpleCommand(port, command, &reply) != Outcome::Done) {
                   return 0;
               }
               // "+CMGR: <stat>,[<alpha>],<length>" and the unit on the next line.
               const std::size_t tag = reply.find("+CMGR:");
               const std::size_t line = tag == std::string::npos ? tag : reply.find("\r\n", tag);
               std::optional<StatusReport> report =
                   line == std::string::npos
                       ? std::nullopt
                       : ParseStatusReportPdu(std::string_view(reply).substr(line + 2));
               if (!report) {
                   return 0;
               }
               report->storageIndex = index;
               if (!keep(*report)) {
                   return 0;
               }
               engine.DeleteMessage(port, index);
               return 1;
           }) > 0;
}

int TakeStoredReports(IComBaseCmd& engine, CSXCom& port, std::string_view storage,
                      const KeepReport& keep) {
    return InReadStorage(engine, port, storage, [&] {
        // Deleted only once all are read: a deletion's reply cannot cut the listing short.
        int kept = 0;
        for (const StatusReport& report : ListedReports(engine.ListAll(port))) {
            if (keep(report)) {
                engine.DeleteMessage(port, report.storageIndex);
                ++kept;
            }
        }
        return kept;
    });
}

}  // namespace GSM
