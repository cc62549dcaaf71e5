// One simulated PCI board: its configuration record and registers as the driver's requests reach
// them, with the unit of brimwell-unit-sim behind the data and status registers.
#pragma once

#include "app/pci/pci_wire.h"
#include "tools/unit-sim/unit.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace brimwell::boardsim {

struct BoardOptions {
    unitsim::UnitOptions unit;
    int boardId = 0; // the byte at the ID address (0..255: 200 reads as -56)
    uint16_t vendorId = 0x10E8;
    uint16_t deviceId = 0x0213;
    uint16_t major = 4, minor = 0; // driver version; 3.14 cannot read the configuration words
    // Addresses of the board's registers; each board gets its own block.
    uint32_t base = 0xE000;
    // Faults.
    bool neverReady = false; // status bit 7 is never set: nothing the unit sends arrives
    int busyTries = 0;       // status reads that show busy before each byte is taken
    int64_t refuseAt = -1;   // data byte number (0-based, data phase of all loads) refused for good
};

// Register offsets from the base address.
inline constexpr uint32_t kDataOffset = 0x00, kFourthOffset = 0x04, kStatusOffset = 0x08, kIdOffset = 0x0C;

class Board {
  public:
    using Report = std::function<void(const std::string&)>;
    Board(BoardOptions options, std::string storeDir, std::string source, Report report);

    // Answers one request: returns the status (0 or an errno value) and fills `out` when it is 0.
    uint32_t handle(uint32_t code, const std::vector<uint8_t>& in, std::vector<uint8_t>& out,
                    unitsim::Nanos now);
    void tick(unitsim::Nanos now) { unit_.tick(now); }
    unitsim::Nanos nextDeadline() const { return unit_.nextDeadline(); }

    int endExchanges() const { return endExchanges_; }
    bool initialised() const { return initDword_ && initByte_; }

  private:
    uint32_t item(pci::RequestItem& it, unitsim::Nanos now);
    uint8_t status(unitsim::Nanos now);

    BoardOptions opt_;
    unitsim::Unit unit_;
    std::string fromUnit_; // bytes the unit sent that the host has not read yet
    int busyLeft_ = 0;
    int endExchanges_ = 0;
    bool initDword_ = false, initByte_ = false;
};

} // namespace brimwell::boardsim
