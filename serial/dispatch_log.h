// The dispatch log: what a port's dispatcher did (device reads and writes, trigger announcements,
// trigger and handler changes, user text), each entry a 16-byte header and its extra data, kept
// back to back in a circular byte buffer that drops the oldest entries, and written as a table.
// Not thread-safe by itself; the port's Recorders serialise access.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "serial/recorder_text.h"

namespace brimwell::serial {

inline constexpr uint32_t kLogSizeMax = 16000000;
inline constexpr uint32_t kLogHeaderSize = 16;

enum class DispatchType : uint8_t {
    None,
    Dispatch,
    Trigger,
    Error,
    Thread,
    TriggerAlloc,
    TriggerDispose,
    TriggerHandlerAlloc,
    TriggerHandlerDispose,
    TriggerDataChange,
    Telnet,
    Fax,
    XModem,
    YModem,
    ZModem,
    Kermit,
    Ascii,
    BPlus,
    Packet,
    User,
    Script,
};

// The subtypes this system writes; the numbering leaves room for those of protocols it lacks.
enum class DispatchSubType : uint8_t {
    None = 0,
    ReadCom = 1,
    WriteCom = 2,
    ModemStatus = 4,
    Avail = 5,
    Timer = 6,
    Data = 7,
    Status = 8,
    DataTrigger = 13,
    TimerTrigger = 14,
    StatusTrigger = 15,
    AvailTrigger = 16,
    WndHandler = 17,
    ProcHandler = 18,
    EventHandler = 19,
};

// The names written to the log file; a subtype without a name here is written as its number.
std::string_view dispatchTypeName(uint8_t type);
std::string dispatchSubTypeName(uint8_t subtype);

// The identification lines at the top of a log file that do not come from the log itself.
struct LogFileHeader {
    std::string device;   // the port as the user named it ("COM1", or a device path)
    std::string compiler; // empty: the toolchain this program was built with
    std::string system;   // empty: the running system, from uname
    std::string dateTime; // empty: now, "dd/mm/yy, hh:mm:ss"
};

class DispatchLog {
  public:
    // Allocates `size` bytes, or empties the log that exists (keeping its size).
    // 0; -1002 for 0 or more than kLogSizeMax bytes; -8 when memory runs out.
    int32_t init(uint32_t size);
    bool hasBuffer() const { return buffer_ != nullptr; }
    bool empty() const { return free_ == size_; }
    void clear();
    void release();

    // Stores one entry, dropping the oldest entries to make room. An entry that cannot fit even
    // in the empty log is not stored at all, and the entries already there stay. Header and extra
    // data are placed as one, so that neither can push the other out. False when refused.
    bool add(DispatchType type, DispatchSubType subtype, uint32_t timeMs, uint32_t data, const void* extra,
             uint32_t extraLength);

    // Writes the header lines and every entry, oldest first, and frees the log. An empty log is
    // freed without touching the file. 0 or minus the error number; when the file cannot be
    // opened or written the log is kept, so that it can be written under another name.
    int32_t write(const std::string& path, const RecorderFileOptions& options, const LogFileHeader& header);

  private:
    struct Header {
        uint8_t type;
        uint8_t subtype;
        uint32_t time;
        uint32_t data;
        uint32_t length;
    };
    void store(const uint8_t* bytes, uint32_t n);
    void load(uint32_t from, uint8_t* out, uint32_t n) const;
    Header headerAt(uint32_t at) const;
    void dropOldest();
    void writeEntry(RecorderFile& file, const Header& h, uint32_t extraAt,
                    const RecorderFileOptions& options) const;

    std::unique_ptr<uint8_t[]> buffer_;
    uint32_t size_ = 0;
    uint32_t head_ = 0;
    uint32_t tail_ = 0;
    uint32_t free_ = 0;
};

// The texts of a log file's time column and of its identification lines.
std::string logTimeText(uint32_t ms);
std::string compilerIdentification();
std::string systemIdentification();

} // namespace brimwell::serial
