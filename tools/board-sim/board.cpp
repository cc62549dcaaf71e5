// Requests against the simulated board's registers.
#include "tools/board-sim/board.h"

#include "tools/unit-sim/store.h"

#include <cerrno>

namespace brimwell::boardsim {
namespace {

constexpr uint32_t kInitOffset = 0x60;
constexpr uint8_t kRxReady = 0x80;
constexpr uint8_t kTxBusy = 0x10;

} // namespace

Board::Board(BoardOptions options, std::string storeDir, std::string source, Report report)
    : opt_(std::move(options)),
      unit_(opt_.unit,
            [storeDir, source, report](const unitsim::LoadRecord& r, const std::vector<uint8_t>& image) {
                report(unitsim::loadReport(r, image, storeDir, source));
            }) {
    busyLeft_ = opt_.busyTries;
}

uint8_t Board::status(unitsim::Nanos now) {
    unit_.tick(now);
    unit_.takeOutput(now, fromUnit_);
    uint8_t s = 0;
    if (!fromUnit_.empty() && !opt_.neverReady) s |= kRxReady;
    const bool refusing = opt_.refuseAt >= 0 && unit_.inDataPhase() &&
                          static_cast<int64_t>(unit_.dataBytesSeen()) >= opt_.refuseAt;
    if (refusing) {
        s |= kTxBusy;
    } else if (busyLeft_ > 0) {
        --busyLeft_;
        s |= kTxBusy;
    }
    return s;
}

uint32_t Board::item(pci::RequestItem& it, unitsim::Nanos now) {
    const uint32_t offset = it.address - opt_.base;
    switch (it.command) {
    case pci::kCmdConfigWord:
        // The old driver cannot read configuration space; its requests come back untouched.
        if (opt_.major == 3 && opt_.minor == 14) return 0;
        if (it.address == 0)
            it.value = opt_.vendorId;
        else if (it.address == 2)
            it.value = opt_.deviceId;
        else
            it.value = 0;
        return 0;
    case pci::kCmdReadByte:
        if (offset == kStatusOffset) {
            it.value = status(now);
        } else if (offset == kIdOffset) {
            it.value = static_cast<uint8_t>(opt_.boardId);
        } else if (offset == kDataOffset) {
            it.value = 0;
            if (!fromUnit_.empty()) {
                it.value = static_cast<uint8_t>(fromUnit_.front());
                fromUnit_.erase(0, 1);
            }
        } else {
            it.value = 0xFF; // nothing decodes the address: the bus floats high
        }
        return 0;
    case pci::kCmdWriteByte:
        if (offset == kDataOffset) {
            const uint8_t b = static_cast<uint8_t>(it.value);
            unit_.receive(&b, 1, now, 0);
            busyLeft_ = opt_.busyTries;
        } else if (offset == kStatusOffset) {
            if (static_cast<uint8_t>(it.value) == 3) ++endExchanges_;
        } else if (offset == kInitOffset) {
            initByte_ = true;
        }
        return 0;
    case pci::kCmdWriteDword:
        if (offset == kInitOffset) initDword_ = true;
        return 0;
    default:
        return EINVAL;
    }
}

uint32_t Board::handle(uint32_t code, const std::vector<uint8_t>& in, std::vector<uint8_t>& out,
                       unitsim::Nanos now) {
    out.clear();
    if (code == pci::kGetConfiguration) {
        if (!in.empty()) return EINVAL;
        out.assign(pci::kConfigSize, 0);
        pci::putLe16(out.data() + pci::kCfgMajor, opt_.major);
        pci::putLe16(out.data() + pci::kCfgMinor, opt_.minor);
        pci::putLe32(out.data() + pci::kCfgBase, opt_.base);
        pci::putLe32(out.data() + pci::kCfgData, opt_.base + kDataOffset);
        pci::putLe32(out.data() + pci::kCfgFourth, opt_.base + kFourthOffset);
        pci::putLe32(out.data() + pci::kCfgStatus, opt_.base + kStatusOffset);
        pci::putLe32(out.data() + pci::kCfgId, opt_.base + kIdOffset);
        return 0;
    }
    if (code != pci::kProcessList || in.empty() || in.size() % pci::kItemSize != 0) return EINVAL;
    std::vector<pci::RequestItem> items = pci::decodeItems(in.data(), in.size());
    for (pci::RequestItem& it : items)
        if (const uint32_t rc = item(it, now); rc != 0) return rc;
    out.resize(in.size());
    pci::encodeItems(items, out.data());
    return 0;
}

} // namespace brimwell::boardsim
