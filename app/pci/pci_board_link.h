// The PCI board link: the driver operations on devices 0..15, the board operations on a board's
// data, status and ID addresses, the enumeration of boards at start-up, and the script engine's
// BoardLink on the board that carries a given board ID.
#pragma once

#include "app/pci/pci_driver.h"
#include "script/unit_link.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace brimwell::pci {

inline constexpr uint16_t kVendorId = 0x10E8;
inline constexpr uint16_t kDeviceId = 0x0213;
inline constexpr uint8_t kRxReady = 0x80;
inline constexpr uint8_t kTxBusy = 0x10;
inline constexpr int kBoardIds = 16;

// One board as the link addresses it.
struct PciBoard {
    uint32_t index = 0;
    uint32_t data = 0;
    uint32_t status = 0;
    uint32_t id = 0;
};

// What pci_probe_device hands back.
struct ProbedDevice {
    uint16_t vendorId = 0;
    uint16_t deviceId = 0;
    uint32_t data = 0, fourth = 0, status = 0, id = 0;
};

// What the enumeration decided, for the window or the command line to act on.
struct Enumeration {
    bool found = false;                // a board with the expected IDs is open
    bool usable = false;               // ... and every board ID was sound: the PCI link may be used
    std::vector<std::string> messages; // message boxes to show, in order
};

class PciBoardLink : public script::BoardLink {
  public:
    // `driver` may be null (no driver installed): every open fails with ENOENT and nothing is printed.
    // Diagnostics go to `diagnostics` (standard output in the program).
    explicit PciBoardLink(std::unique_ptr<PciDriver> driver, std::FILE* diagnostics = stdout);
    ~PciBoardLink() override;

    // ---- Driver operations: 0 or the system error code ----------------------------------------
    int pci_open_device(int i);
    int pci_close_device(int i);
    int pci_probe_device(int i, ProbedDevice& out);
    int pci_read_byte(int i, uint32_t address, uint8_t& out);
    int pci_write_byte(int i, uint32_t address, uint8_t byte);
    int pci_write_dword(int i, uint32_t address, uint32_t value);

    // ---- Board operations -----------------------------------------------------------------------
    // A status read that fails counts as nothing waiting and as busy: nothing is read or written.
    bool board_rx_ready(const PciBoard& b);
    bool board_tx_busy(const PciBoard& b);
    int board_put_char(const PciBoard& b, uint8_t c);                 // 0 written, 1 busy
    int board_get_char(const PciBoard& b, uint8_t& out);              // 0 read, 1 nothing waiting
    int board_put_string(const PciBoard& b, const std::string& text); // 0 all sent, 1 a character refused
    void board_end_exchange(const PciBoard& b);
    // The board's switches; -1 when the ID address cannot be read.
    int board_read_id(const PciBoard& b);

    // ---- Start-up ------------------------------------------------------------------------------
    // Probes devices 0..15, keeps the boards with the expected IDs and maps their board IDs.
    Enumeration enumerate();

    // ---- The script engine's view: `board` is a board ID ---------------------------------------
    bool board_put_string(int board, const std::string& text) override;
    std::optional<uint8_t> board_get_char(int board) override;
    void board_end_exchange(int board) override;
    bool board_put_char(int board, uint8_t byte) override;
    std::string failure(int board) const override;

    bool hasDriver() const { return driver_ != nullptr; }

    std::array<int32_t, kDeviceCount> deviceState;
    std::array<PciBoard, kDeviceCount> pciBoard{};
    std::array<int32_t, kBoardIds> boardMap;
    int32_t selectedBoard = -1;

  private:
    // The board that carries `boardId`, or null when the ID is not mapped.
    const PciBoard* boardFor(int boardId) const;
    int request(int i, uint32_t command, uint32_t address, uint32_t& value);
    void diagnostic(const std::string& text);

    std::unique_ptr<PciDriver> driver_;
    std::FILE* diagnostics_;
    std::array<bool, kDeviceCount> open_{};
    std::vector<RequestItem> scratch_; // the one-item request of every byte, kept between requests
};

} // namespace brimwell::pci
