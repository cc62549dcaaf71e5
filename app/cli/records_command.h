// "brimwell records": searches the run records (a table on a terminal, JSON or CSV otherwise),
// sums them up per day and script, and sends a machine's backlog to the shared store.
#pragma once

#include <QString>

#include <optional>

namespace brimwell::cli {

int recordsMain(int argc, char** argv);

// A time as the command line gives it, as the records store times (UTC): "2026-12-08",
// "2026-12-08T14:30[:05]" or "2026-12-08 14:30" (local time unless it ends in Z or an offset),
// "today", "yesterday", or an age: "90m", "24h", "7d". Nothing when it is none of these.
std::optional<QString> parseRecordTime(const QString& text);

} // namespace brimwell::cli
