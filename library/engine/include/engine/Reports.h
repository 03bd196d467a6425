// Delivery reports: routing them as the model's row says, checking that the modem still
// does, and reading one the modem kept in a storage.
#pragma once

#include <array>
#include <cstdint>
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

// Reads the report kept at `index` of `storage` ("SR"), deletes it there, and sets the
// read storage back as it was. None when the entry is not a report.
std::optional<StatusReport> TakeStoredReport(IComBaseCmd& engine, CSXCom& port,
                                             std::string_view storage, int index);

}  // namespace GSM
