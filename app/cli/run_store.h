// The record store of a command-line run ("--records URL" or $BRIMWELL_RECORDS): where a finished
// run's record goes, and what the operator is told when it could not go there.
#pragma once

#include "app/cli/cli_options.h"
#include "records/store_location.h"

#include <QJsonObject>

#include <optional>
#include <string>

namespace brimwell::cli {

// The store the run records into; nothing when none is asked for. False with `error` for a
// malformed name (a usage error, found before any unit is touched).
bool requestedStore(const RunOptions& options, std::optional<records::StoreLocation>& store,
                    std::string& error);

// Stores the finished run. A store that cannot take it gets the record as a JSON file beside it;
// then the record gains "record_lost" (why, and where the file went) and that text is returned.
// "" when the run is stored (in a shared store, or in the journal waiting for it).
std::string storeRun(QJsonObject& record, const records::StoreLocation& store);

// The exit status once the outputs are written: a run that passed but whose record is incomplete
// exits 3 with a line saying so; any other verdict stands. `command` begins the line.
int exitWithRecord(int code, const std::string& lostRecord, const char* command = "brimwell run");

} // namespace brimwell::cli
