// "brimwell ports": the machine's serial devices, one a line, with what a station needs to name
// them for good (by-id link, USB identity) and whether another program holds them.
#pragma once

namespace brimwell::cli {

// argv[1] is "ports". 0: listed (also when there is nothing to list), 2: usage error.
int portsMain(int argc, char** argv);

} // namespace brimwell::cli
