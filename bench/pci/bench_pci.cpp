// bench_pci: the data phase of a 256 KiB upload over the PCI board link into brimwell-board-sim.
// Each byte is a status read and a data write, two driver requests, as the engine's upload sends it.
//   BENCH pci_upload_bytes_per_s   bytes per second, timed by the simulator's first and last data
//                                  byte (target >= 25000: twice the serial line at 115200 baud)
//   BENCH pci_requests_per_s       driver requests per second over the socket in the same phase
#include "app/pci/pci_board_link.h"
#include "support/sim_process.h"

#include <cstdio>
#include <cstdlib>

using namespace brimwell;
using namespace brimwell::testing;

int main() {
    constexpr size_t kSize = 256 * 1024;
    if (!std::getenv("BRIMWELL_BUILD_DIR")) ::setenv("BRIMWELL_BUILD_DIR", BRIMWELL_BUILD_DIR_DEFAULT, 1);
    TempDir dir;
    SimBoards sim;
    if (!sim.start(dir.file("pci"), {"--boards", "1", "--start-in-loader", "--store", dir.file("store")})) {
        std::fprintf(stderr, "bench_pci: the board simulator did not start: %s\n",
                     sim.process.stderrText().c_str());
        return 1;
    }
    ::setenv("BRIMWELL_PCI_DIR", sim.dir.c_str(), 1);
    pci::PciBoardLink link(pci::installedPciDriver(), nullptr);
    if (!link.enumerate().usable) {
        std::fprintf(stderr, "bench_pci: no usable board\n");
        return 1;
    }
    const std::vector<uint8_t> data = patternBytes(kSize, 5);
    uint32_t sum = 0;
    for (uint8_t b : data)
        sum += b;
    char command[64];
    std::snprintf(command, sizeof command, "LF 80000000 %zu %x 1.0\r", data.size(), sum % 65536u);
    if (!link.board_put_string(1, command)) return 1;
    uint64_t requests = 0;
    for (uint8_t b : data)
        for (requests += 2; !link.board_put_char(1, b); ++requests) {
        }
    const auto stored = sim.process.waitForLine("STORED ");
    if (!stored || field(*stored, "received") != std::to_string(kSize)) {
        std::fprintf(stderr, "bench_pci: the board did not store the image: %s\n",
                     stored ? stored->c_str() : "-");
        return 1;
    }
    const double seconds =
        (std::stod(field(*stored, "last_ns")) - std::stod(field(*stored, "first_ns"))) / 1e9;
    std::printf("BENCH pci_upload_bytes_per_s %.0f bytes/s\n", static_cast<double>(kSize) / seconds);
    std::printf("BENCH pci_requests_per_s %.0f requests/s\n", static_cast<double>(requests) / seconds);
    return 0;
}
