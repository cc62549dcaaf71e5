// "brimwell records": searches the run records (a table on a terminal, JSON or CSV otherwise),
// sums them up per day and script, and sends a machine's backlog to the shared store.
#pragma once

namespace brimwell::cli {

int recordsMain(int argc, char** argv);

} // namespace brimwell::cli
