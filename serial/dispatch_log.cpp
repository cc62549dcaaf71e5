// The dispatch log's circular buffer and its table file.
#include "serial/dispatch_log.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/utsname.h>

#include "serial/error_codes.h"

namespace brimwell::serial {
namespace {

constexpr std::string_view kProductLine = "QUAV v4.05";
constexpr std::string_view kColumnHeader = "Time      Type      SubType       Data      OtherData";
constexpr std::string_view kColumnRule = "--------  --------  ------------  --------  ---------";
// The fixed columns before the extra data; continuation lines are indented to line up under it.
constexpr uint32_t kPrefixWidth = 44;
constexpr std::string_view kContinuationIndent = "                                            ";
static_assert(kContinuationIndent.size() == kPrefixWidth);

constexpr std::array<std::string_view, 21> kTypeNames = {
    "No event", "Dispatch", "Trigger",  "Error",  "Thread", "TrigAllc", "TrigDisp",
    "TrgHdAlc", "TrgHdDsp", "TrDatChg", "Telnet", "Fax",    "XModem",   "YModem",
    "ZModem",   "Kermit",   "Ascii",    "BPlus",  "Packet", "User",     "Script",
};

struct SubTypeName {
    DispatchSubType subtype;
    std::string_view name;
};
constexpr SubTypeName kSubTypeNames[] = {
    {DispatchSubType::None, ""},
    {DispatchSubType::ReadCom, "ReadCom"},
    {DispatchSubType::WriteCom, "WriteCom"},
    {DispatchSubType::Avail, "Avail"},
    {DispatchSubType::Timer, "Timer"},
    {DispatchSubType::Data, "Data"},
    {DispatchSubType::Status, "Status"},
    {DispatchSubType::DataTrigger, "Data"},
    {DispatchSubType::TimerTrigger, "Timer"},
    {DispatchSubType::StatusTrigger, "Status"},
    {DispatchSubType::AvailTrigger, "Avail"},
    {DispatchSubType::WndHandler, "Window"},
    {DispatchSubType::ProcHandler, "Procedure"},
    {DispatchSubType::EventHandler, "Method"},
};

// What a status trigger watches, by its kind.
constexpr std::array<std::string_view, 6> kStatusKindTexts = {
    "(Not active)",         "(Modem status)",       "(Line status)",
    "(Output buffer free)", "(Output buffer used)", "(Output sent)",
};

// The modem-status bits, bit 0 first.
constexpr std::array<std::string_view, 8> kModemBitNames = {"DCTS ", "DDSR ", "TERI ", "DDCD ",
                                                            "CTS ",  "DSR ",  "RI ",   "DCD "};

void putU32(uint8_t* at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t getU32(const uint8_t* at) {
    return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}

std::string modemBitsText(uint32_t value) {
    std::string names;
    for (size_t bit = 0; bit < kModemBitNames.size(); ++bit)
        if (value & (1u << bit)) names += kModemBitNames[bit];
    while (!names.empty() && names.back() == ' ')
        names.pop_back();
    return " (" + names + ")";
}

std::string nowText() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%d/%m/%y, %H:%M:%S", &local);
    return text;
}

void putLine(RecorderFile& file, std::string_view a, std::string_view b = {}) {
    file.put(a);
    file.put(b);
    file.put(kRecorderLineEnd);
}

} // namespace

std::string_view dispatchTypeName(uint8_t type) {
    return type < kTypeNames.size() ? kTypeNames[type] : "";
}

std::string dispatchSubTypeName(uint8_t subtype) {
    for (const auto& s : kSubTypeNames)
        if (uint8_t(s.subtype) == subtype) return std::string(s.name);
    return std::to_string(subtype);
}

std::string logTimeText(uint32_t ms) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%07u", ms);
    std::string text = digits;
    text.insert(text.size() - 3, 1, '.');
    return text;
}

std::string compilerIdentification() {
#if defined(__clang__)
    return "Clang " __clang_version__;
#elif defined(__GNUC__)
    return "GCC " __VERSION__;
#else
    return "unknown C++ compiler";
#endif
}

std::string systemIdentification() {
    utsname u{};
    if (uname(&u) != 0) return "unknown";
    return std::string(u.sysname) + " " + u.release + " " + u.version;
}

int32_t DispatchLog::init(uint32_t size) {
    if (hasBuffer()) {
        clear();
        return result::kOk;
    }
    const int32_t rc = allocateRecorderBuffer(buffer_, size, kLogSizeMax);
    if (rc == result::kOk) {
        size_ = size;
        clear();
    }
    return rc;
}

void DispatchLog::clear() {
    head_ = tail_ = 0;
    free_ = size_;
}

void DispatchLog::release() {
    buffer_.reset();
    size_ = 0;
    clear();
}

void DispatchLog::store(const uint8_t* bytes, uint32_t n) {
    const uint32_t first = n < size_ - head_ ? n : size_ - head_;
    std::memcpy(buffer_.get() + head_, bytes, first);
    std::memcpy(buffer_.get(), bytes + first, n - first);
    head_ = (head_ + n) % size_;
    free_ -= n;
}

void DispatchLog::load(uint32_t from, uint8_t* out, uint32_t n) const {
    const uint32_t first = n < size_ - from ? n : size_ - from;
    std::memcpy(out, buffer_.get() + from, first);
    std::memcpy(out + first, buffer_.get(), n - first);
}

DispatchLog::Header DispatchLog::headerAt(uint32_t at) const {
    uint8_t raw[kLogHeaderSize];
    load(at, raw, kLogHeaderSize);
    return Header{raw[0], raw[1], getU32(raw + 4), getU32(raw + 8), getU32(raw + 12)};
}

void DispatchLog::dropOldest() {
    const uint32_t entry = kLogHeaderSize + headerAt(tail_).length;
    tail_ = (tail_ + entry) % size_;
    free_ += entry;
}

bool DispatchLog::add(DispatchType type, DispatchSubType subtype, uint32_t timeMs, uint32_t data,
                      const void* extra, uint32_t extraLength) {
    const uint64_t need = uint64_t(kLogHeaderSize) + extraLength;
    if (!hasBuffer() || need >= size_) return false;
    while (free_ < need)
        dropOldest();
    uint8_t raw[kLogHeaderSize] = {uint8_t(type), uint8_t(subtype)};
    putU32(raw + 4, timeMs);
    putU32(raw + 8, data);
    putU32(raw + 12, extraLength);
    store(raw, kLogHeaderSize);
    if (extraLength > 0) store(static_cast<const uint8_t*>(extra), extraLength);
    return true;
}

void DispatchLog::writeEntry(RecorderFile& file, const Header& h, uint32_t extraAt,
                             const RecorderFileOptions& options) const {
    char prefix[96];
    std::snprintf(prefix, sizeof prefix, "%8s  %-8s  %-12s  %08x  ", logTimeText(h.time).c_str(),
                  std::string(dispatchTypeName(h.type)).c_str(), dispatchSubTypeName(h.subtype).c_str(),
                  h.data);
    file.put(prefix);

    const bool statusKind =
        (h.type == uint8_t(DispatchType::TriggerAlloc) || h.type == uint8_t(DispatchType::TriggerDispose)) &&
        h.subtype == uint8_t(DispatchSubType::StatusTrigger);
    if (h.length > 0 && statusKind && buffer_[extraAt] < kStatusKindTexts.size()) {
        file.put(kStatusKindTexts[buffer_[extraAt]]);
    } else if (h.length > 0) {
        WrappedItems items(file, kPrefixWidth + 1, kContinuationIndent);
        const bool userAsText = options.allHex && h.type == uint8_t(DispatchType::User);
        uint32_t at = extraAt;
        for (uint32_t i = 0; i < h.length; ++i) {
            const uint8_t byte = buffer_[at];
            if (++at == size_) at = 0;
            if (userAsText) {
                const char c = static_cast<char>(byte);
                items.put({&c, 1});
            } else {
                items.put(renderRecordedByte(byte, options.hex, options.allHex).view());
            }
        }
    }
    if (h.subtype == uint8_t(DispatchSubType::ModemStatus)) file.put(modemBitsText(h.data));
    file.put(kRecorderLineEnd);
}

int32_t DispatchLog::write(const std::string& path, const RecorderFileOptions& options,
                           const LogFileHeader& header) {
    if (!hasBuffer()) return result::kOk;
    if (empty()) {
        release();
        return result::kOk;
    }
    RecorderFile file;
    if (const int32_t rc = file.open(path, options.append); rc != 0) return rc;

    putLine(file, kProductLine);
    putLine(file, "Compiler : ", header.compiler.empty() ? compilerIdentification() : header.compiler);
    putLine(file, "Operating System : ", header.system.empty() ? systemIdentification() : header.system);
    putLine(file, "Device: ", header.device);
    putLine(file, "Date/time: ", header.dateTime.empty() ? nowText() : header.dateTime);
    putLine(file, kColumnHeader);
    putLine(file, kColumnRule);
    for (uint32_t at = tail_, left = size_ - free_; left > 0;) {
        const Header h = headerAt(at);
        writeEntry(file, h, (at + kLogHeaderSize) % size_, options);
        at = (at + kLogHeaderSize + h.length) % size_;
        left -= kLogHeaderSize + h.length;
    }
    const int32_t rc = file.close();
    if (rc == 0) release();
    return rc;
}

} // namespace brimwell::serial
