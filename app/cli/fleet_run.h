// "brimwell run SCRIPT --port A --port B ...": every unit flashed at once, each by a brimwell
// process of its own (its own engine and port), so that one unit's fault or crash leaves the
// others alone. The parent shows their progress, stops them all on Ctrl+C or SIGTERM, and ends
// with a summary table and, with --report, one record per unit.
#pragma once

#include "app/cli/cli_options.h"
#include "records/store_location.h"

#include "app/cli/run_recording.h"
#include <optional>

#include <string>

namespace brimwell::cli {

// Runs every port of `options.ports` in parallel; 0 only when every unit completed (3 when they did
// but their record is incomplete). With a `store` each unit records its own run there (the parent
// records those of units that died unrecorded); the report goes to `outputs`.
int runFleet(const RunOptions& options, char* program, const std::optional<records::StoreLocation>& store,
             RunOutputs& outputs);

// The port's name as the end of a file name ("/dev/ttyUSB0" -> "dev_ttyUSB0",
// "rfc2217://rack3:4001" -> "rfc2217_rack3_4001").
std::string portFileSuffix(const std::string& port);

} // namespace brimwell::cli
