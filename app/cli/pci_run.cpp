// The command line's PCI board link: enumeration, the board choice and the reserved name.
#include "app/cli/pci_run.h"

#include "app/cli/cli_options.h"
#include "serial/port_names.h"

namespace brimwell::cli {

bool preparePciRun(int board, pci::PciBoardLink& link, script::ScriptEngine& engine, CliHost& host,
                   std::string& error) {
    if (!link.hasDriver()) {
        error = "no PCI driver: set BRIMWELL_PCI_DIR to the directory that holds the board sockets "
                "(WRTdev0 .. WRTdev15)";
        return false;
    }
    const pci::Enumeration found = link.enumerate();
    for (const std::string& m : found.messages)
        host.report({script::RunPart::Setup, m, script::MessageKind::Warning});
    if (!found.found) {
        error = "no PCI board with vendor ID 10E8 and device ID 0213 answered in " +
                std::string(std::getenv("BRIMWELL_PCI_DIR"));
        return false;
    }
    if (!found.usable) {
        error = "the PCI link is disabled (see the message above); check the boards' ID switches";
        return false;
    }
    engine.setBoardMap(link.boardMap);
    if (board != kAllBoards) {
        if (link.boardMap[static_cast<size_t>(board)] < 0) {
            error = "no PCI board has the board ID " + std::to_string(board) + " (found " +
                    describeBoards(engine) + ")";
            return false;
        }
        std::array<int32_t, script::ScriptEngine::kBoardCount> only;
        only.fill(-1);
        only[static_cast<size_t>(board)] = link.boardMap[static_cast<size_t>(board)];
        engine.setBoardMap(only);
    }
    engine.setBoardLink(&link);
    engine.setLinkMode(script::kLinkPci);
    engine.setSelectedBoard(link.selectedBoard);
    return true;
}

std::string describeBoards(const script::ScriptEngine& engine) {
    std::string ids;
    for (int id = 0; id < script::ScriptEngine::kBoardCount; ++id)
        if (engine.boardMap()[static_cast<size_t>(id)] >= 0)
            ids += (ids.empty() ? "" : ", ") + std::to_string(id);
    return "PCI board ID " + ids;
}

std::string reservedComMapping(uint32_t n) {
    std::string ignored;
    if (!pciBoardOf(serial::comDevicePath(n), ignored) && ignored.empty()) return {};
    return "BRIMWELL_COM" + std::to_string(n) +
           " names the PCI link, which is no serial device; use --port PCI";
}

} // namespace brimwell::cli
