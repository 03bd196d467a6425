// Delivery reports: routing them as the model's row says, checking that the modem still
// does, and reading one the modem kept in a storage.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "codec/StatusReport.h"
#include "engine/ComBaseCmd.h"
#include "engine/ModelTable.h"

namespace GSM {

// The indication settings of the row's set-up with the report field (ds) its route wants;
// none for a row without reports or without an indication step.
std::optional<std::array<int, 5>> ReportIndication(int32_t code);

// Sets the modem's new-message indication so that reports come as the row says. Failed
// for a row without reports.
Outcome RouteReports(IComBaseCmd& engine, CSXCom& port, int32_t code);

// Whether the modem still routes reports as RouteReports set it ("AT+CNMI?"); true too when
// it does not answer the query, so that only a modem that shows the loss is set again.
bool ReportsStillRouted(IComBaseCmd& engine, CSXCom& port, int32_t code);

// Takes a report the modem kept: `keep` gets it, and it is deleted from the modem only when
// `keep` took it. True when it did.
using KeepReport = std::function<bool(const StatusReport&)>;

// Reads the report kept at `index` of `storage` ("SR"), gives it to `keep`, and sets the
// read storage back as it was. False when the entry is not a report or was not kept.
bool TakeStoredReport(IComBaseCmd& engine, CSXCom& port, std::string_view storage, int index,
                      const KeepReport& keep);

// Every report kept in `storage` ("SR"), listed in PDU mode, given to `keep`; the read
// storage is set back as it was. Reports that came while nobody read the modem's notices
// are found this way. The count kept: more than a listing holds come at the next call.
int TakeStoredReports(IComBaseCmd& engine, CSXCom& port, std::string_view storage,
                      const KeepReport& keep);

}  // namespace GSM
