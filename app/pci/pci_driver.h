// The driver through which the tool reaches PCI boards: open, close, the configuration request and
// the request list, as the board's driver takes them. On Linux, device i is the Unix stream socket
// WRTdev<i> in the directory $BRIMWELL_PCI_DIR; a simulator or a bridge to real hardware serves it.
#pragma once

#include "app/pci/pci_wire.h"

#include <array>
#include <memory>
#include <string>
#include <vector>

namespace brimwell::pci {

// Every operation returns 0 or a system error code (errno value).
class PciDriver {
  public:
    virtual ~PciDriver() = default;
    virtual int open(int device) = 0;
    virtual int close(int device) = 0;
    virtual int getConfiguration(int device, ConfigRecord& out) = 0;
    // Sends the items and replaces them with the driver's answer (read values filled in).
    virtual int processList(int device, std::vector<RequestItem>& items) = 0;
};

class SocketPciDriver : public PciDriver {
  public:
    explicit SocketPciDriver(std::string directory);
    ~SocketPciDriver() override;
    SocketPciDriver(const SocketPciDriver&) = delete;
    SocketPciDriver& operator=(const SocketPciDriver&) = delete;

    int open(int device) override;
    int close(int device) override;
    int getConfiguration(int device, ConfigRecord& out) override;
    int processList(int device, std::vector<RequestItem>& items) override;

    std::string socketPath(int device) const;

  private:
    // One request and its reply; `out` must receive exactly `outSize` bytes when the status is 0.
    int exchange(int device, uint32_t code, const uint8_t* in, size_t inSize, uint8_t* out, size_t outSize);

    std::string directory_;
    std::array<int, kDeviceCount> fds_;
    std::array<bool, kDeviceCount> broken_{};
    std::vector<uint8_t> request_, reply_, items_;
};

// The driver of this machine: a socket driver when $BRIMWELL_PCI_DIR names a directory, else none.
std::unique_ptr<PciDriver> installedPciDriver();

} // namespace brimwell::pci
