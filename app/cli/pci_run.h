// Setting up a command-line run over the PCI board link (--port PCI, --port PCI:N, or setting 1).
#pragma once

#include "app/cli/cli_host.h"
#include "app/pci/pci_board_link.h"
#include "script/script_engine.h"

#include <string>

namespace brimwell::cli {

// Enumerates the boards through the installed driver and points `engine` at them: every mapped
// board ID for kAllBoards, else board ID `board` alone. True when the run may start; otherwise
// false with the reason in `error` (the enumeration's message boxes are already shown).
bool preparePciRun(int board, pci::PciBoardLink& link, script::ScriptEngine& engine, CliHost& host,
                   std::string& error);

// "PCI board(s) 2, 5" for the run's opening note.
std::string describeBoards(const script::ScriptEngine& engine);

// A COM number whose BRIMWELL_COMn names the PCI link: that is no device. "" when COMn is a device.
std::string reservedComMapping(uint32_t n);

} // namespace brimwell::cli
