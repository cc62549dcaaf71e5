// Driver requests, board operations and the enumeration of PCI boards.
#include "app/pci/pci_board_link.h"

#include "serial/setup_stop.h"
#include "serial/time_base.h"

#include <cerrno>
#include <cstdarg>

namespace brimwell::pci {
namespace {

constexpr uint32_t kInitOffset = 0x60;
constexpr uint32_t kInitDword = 0x87878787;
constexpr uint8_t kInitByte = 0x87;
constexpr uint8_t kEndExchange = 3;
constexpr int kPutStringTries = 51;
constexpr int kPutStringPauseMs = 500;

std::string format(const char* pattern, ...) {
    char text[512];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return text;
}

} // namespace

PciBoardLink::PciBoardLink(std::unique_ptr<PciDriver> driver, std::FILE* diagnostics)
    : driver_(std::move(driver)), diagnostics_(diagnostics) {
    deviceState.fill(1);
    boardMap.fill(-1);
}

PciBoardLink::~PciBoardLink() {
    for (int i = 0; i < kDeviceCount; ++i)
        if (open_[i]) pci_close_device(i);
}

void PciBoardLink::diagnostic(const std::string& text) {
    if (diagnostics_ == nullptr) return;
    std::fputs(text.c_str(), diagnostics_);
    std::fflush(diagnostics_);
}

int PciBoardLink::pci_open_device(int i) {
    if (driver_ == nullptr) return ENOENT;
    const int rc = driver_->open(i);
    if (rc == 0) open_[static_cast<size_t>(i)] = true;
    return rc;
}

int PciBoardLink::pci_close_device(int i) {
    if (driver_ == nullptr || i < 0 || i >= kDeviceCount || !open_[static_cast<size_t>(i)]) return EBADF;
    open_[static_cast<size_t>(i)] = false;
    return driver_->close(i);
}

int PciBoardLink::request(int i, uint32_t command, uint32_t address, uint32_t& value) {
    if (driver_ == nullptr) return EBADF;
    scratch_.assign(1, RequestItem{command, address, value});
    const int rc = driver_->processList(i, scratch_);
    if (rc == 0) value = scratch_[0].value;
    return rc;
}

int PciBoardLink::pci_read_byte(int i, uint32_t address, uint8_t& out) {
    uint32_t value = 0;
    const int rc = request(i, kCmdReadByte, address, value);
    if (rc == 0) out = static_cast<uint8_t>(value);
    return rc;
}

int PciBoardLink::pci_write_byte(int i, uint32_t address, uint8_t byte) {
    uint32_t value = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(byte)));
    return request(i, kCmdWriteByte, address, value);
}

int PciBoardLink::pci_write_dword(int i, uint32_t address, uint32_t value) {
    return request(i, kCmdWriteDword, address, value);
}

int PciBoardLink::pci_probe_device(int i, ProbedDevice& out) {
    int rc = pci_open_device(i);
    if (rc != 0) {
        // Without a driver there is nothing to complain about: the machine simply has no boards.
        if (driver_ != nullptr)
            diagnostic(format("Error! Could not open WinRTdev%d, error code %d.\n", i, rc));
        return rc;
    }
    ConfigRecord config{};
    if ((rc = driver_->getConfiguration(i, config)) != 0) {
        if (rc != ECANCELED) diagnostic(format("WinRTGetFullConfiguration failed error code %d.\n", rc));
        return rc;
    }
    const int major = getLe16(config.data() + kCfgMajor);
    const int minor = getLe16(config.data() + kCfgMinor);
    if (major == 3 && minor == 14) {
        diagnostic(format("WinRT Driver Version %d.%d\nOld Winrt.sys version installed.\n", major, minor));
        diagnostic("Will not be able to read Vendor ID and Card ID info.\n");
        diagnostic(
            "Uninstall current library and install most current library if need to query Vendor ID and "
            "Card ID\n");
    }
    std::vector<RequestItem> ids{{kCmdConfigWord, 0, 0}, {kCmdConfigWord, 2, 0}};
    if (driver_->processList(i, ids) != 0) ids = {{kCmdConfigWord, 0, 0}, {kCmdConfigWord, 2, 0}};
    out.vendorId = static_cast<uint16_t>(ids[0].value);
    out.deviceId = static_cast<uint16_t>(ids[1].value);
    out.data = getLe32(config.data() + kCfgData);
    out.fourth = getLe32(config.data() + kCfgFourth);
    out.status = getLe32(config.data() + kCfgStatus);
    out.id = getLe32(config.data() + kCfgId);
    const uint32_t base = getLe32(config.data() + kCfgBase);
    pci_write_dword(i, base + kInitOffset, kInitDword);
    pci_write_byte(i, base + kInitOffset, kInitByte);
    return 0;
}

bool PciBoardLink::board_rx_ready(const PciBoard& b) {
    uint8_t status = 0;
    return pci_read_byte(static_cast<int>(b.index), b.status, status) == 0 && (status & kRxReady) != 0;
}

bool PciBoardLink::board_tx_busy(const PciBoard& b) {
    uint8_t status = 0;
    return pci_read_byte(static_cast<int>(b.index), b.status, status) != 0 || (status & kTxBusy) != 0;
}

int PciBoardLink::board_put_char(const PciBoard& b, uint8_t c) {
    if (board_tx_busy(b)) return 1;
    // A write the driver refused did not reach the board: the byte counts as not taken.
    return pci_write_byte(static_cast<int>(b.index), b.data, c) == 0 ? 0 : 1;
}

int PciBoardLink::board_get_char(const PciBoard& b, uint8_t& out) {
    if (!board_rx_ready(b)) return 1;
    uint8_t byte = 0;
    if (pci_read_byte(static_cast<int>(b.index), b.data, byte) != 0) return 1;
    out = byte;
    return 0;
}

int PciBoardLink::board_put_string(const PciBoard& b, const std::string& text) {
    for (char c : text) {
        bool sent = false;
        for (int tries = 1; !sent; ++tries) {
            sent = board_put_char(b, static_cast<uint8_t>(c)) == 0;
            if (sent) break;
            // A board whose driver connection is gone is not busy: no try can reach it.
            if (tries == kPutStringTries || !driver_->failure(static_cast<int>(b.index)).empty()) return 1;
            serial::Clock::sleepMs(kPutStringPauseMs);
        }
    }
    return 0;
}

void PciBoardLink::board_end_exchange(const PciBoard& b) {
    pci_write_byte(static_cast<int>(b.index), b.status, kEndExchange);
}

int PciBoardLink::board_read_id(const PciBoard& b) {
    uint8_t id = 0;
    if (pci_read_byte(static_cast<int>(b.index), b.id, id) != 0) return -1;
    return static_cast<int8_t>(id);
}

Enumeration PciBoardLink::enumerate() {
    Enumeration result;
    // A stop while the boards are looked for ends the look (a silent driver socket would hold each
    // request up for its whole time limit); the run around it then ends as stopped.
    struct Stoppable {
        PciDriver* driver;
        explicit Stoppable(PciDriver* d) : driver(d) {
            if (driver) driver->setStoppable(true);
        }
        ~Stoppable() {
            if (driver) driver->setStoppable(false);
        }
    } stoppable(driver_.get());
    for (int i = 0; i < kDeviceCount && !serial::setupStopRaised(); ++i) {
        ProbedDevice probed;
        deviceState[static_cast<size_t>(i)] = pci_probe_device(i, probed);
        if (deviceState[static_cast<size_t>(i)] != 0) continue;
        if (probed.vendorId == kVendorId && probed.deviceId == kDeviceId) {
            result.found = true;
            pciBoard[static_cast<size_t>(i)] = {static_cast<uint32_t>(i), probed.data, probed.status,
                                                probed.id};
        } else {
            deviceState[static_cast<size_t>(i)] = 1;
            if (pci_close_device(i) != 0) diagnostic(format("Error closing Device %d.\n", i));
        }
    }
    // A device that answered the open but not the configuration request holds a connection nobody uses.
    for (int i = 0; i < kDeviceCount; ++i)
        if (open_[static_cast<size_t>(i)] && deviceState[static_cast<size_t>(i)] != 0) pci_close_device(i);
    if (!result.found) return result;

    result.usable = true;
    for (int i = 0; i < kDeviceCount; ++i) {
        if (deviceState[static_cast<size_t>(i)] != 0) continue;
        const int id = board_read_id(pciBoard[static_cast<size_t>(i)]);
        if (id < 0 || id >= kBoardIds) {
            result.usable = false;
            result.messages.push_back(format(
                "Invalid BoardID: %d.  PCI Connection will be disabled.  \r\nFor PCI to be working properly, "
                "the firmware must be version 1.02 or later and MainCode have executed.",
                id));
        } else if (boardMap[static_cast<size_t>(id)] == -1) {
            boardMap[static_cast<size_t>(id)] = i;
        } else {
            result.usable = false;
            result.messages.push_back(
                format("More than one board has the same board ID:  %d\r\nPCI Connection will "
                       "be disabled.  Check the switches on SW1 and try again.",
                       id));
        }
    }
    selectedBoard = kBoardIds;
    for (int id = kBoardIds - 1; id >= 0; --id)
        if (boardMap[static_cast<size_t>(id)] != -1) selectedBoard = id;
    return result;
}

std::string PciBoardLink::failure(int board) const {
    const PciBoard* b = boardFor(board);
    if (b == nullptr || driver_ == nullptr) return {};
    const std::string why = driver_->failure(static_cast<int>(b->index));
    if (why.empty()) return {};
    return "The connection to PCI board " + std::to_string(board) + " was lost. " + why + ".";
}

const PciBoard* PciBoardLink::boardFor(int boardId) const {
    if (boardId < 0 || boardId >= kBoardIds) return nullptr;
    const int device = boardMap[static_cast<size_t>(boardId)];
    if (device < 0 || device >= kDeviceCount) return nullptr;
    return &pciBoard[static_cast<size_t>(device)];
}

bool PciBoardLink::board_put_string(int board, const std::string& text) {
    const PciBoard* b = boardFor(board);
    return b != nullptr && board_put_string(*b, text) == 0;
}

std::optional<uint8_t> PciBoardLink::board_get_char(int board) {
    const PciBoard* b = boardFor(board);
    uint8_t byte = 0;
    if (b == nullptr || board_get_char(*b, byte) != 0) return std::nullopt;
    return byte;
}

void PciBoardLink::board_end_exchange(int board) {
    if (const PciBoard* b = boardFor(board)) board_end_exchange(*b);
}

bool PciBoardLink::board_put_char(int board, uint8_t byte) {
    const PciBoard* b = boardFor(board);
    return b != nullptr && board_put_char(*b, byte) == 0;
}

} // namespace brimwell::pci
