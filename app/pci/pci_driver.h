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
    // While set, a wait for the driver also ends on the set-up stop (ECANCELED): the enumeration
    // sets it, a run under way does not, since its stop takes its own course.
    virtual void setStoppable(bool stoppable) { (void)stoppable; }
    // "" while device i works; once its connection is gone for good, why, as a sentence
    // ("The driver closed its socket").
    virtual std::string failure(int device) const {
        (void)device;
        return {};
    }
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
    void setStoppable(bool stoppable) override { stoppable_ = stoppable; }
    std::string failure(int device) const override;

    std::string socketPath(int device) const;

  private:
    // One request and its reply; `out` must receive exactly `outSize` bytes when the status is 0.
    int exchange(int device, uint32_t code, const uint8_t* in, size_t inSize, uint8_t* out, size_t outSize);
    // Reads until `want` bytes are in, waiting in slices; 0 or the errno (ECANCELED: a stop).
    int receiveAtLeast(int fd, uint8_t* data, size_t& have, size_t want, size_t room);
    // Marks the connection of `device` unusable; returns `rc`.
    int broken(int device, int rc);

    std::string directory_;
    std::array<int, kDeviceCount> fds_;
    std::array<int, kDeviceCount> broken_{}; // 0, or the errno that ended the connection
    bool stoppable_ = false;
    std::vector<uint8_t> request_, reply_, items_;
};

// The driver of this machine: a socket driver when $BRIMWELL_PCI_DIR names a directory, else none.
std::unique_ptr<PciDriver> installedPciDriver();

} // namespace brimwell::pci
