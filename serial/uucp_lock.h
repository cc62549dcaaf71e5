// UUCP lock files: how minicom, cu, ser2net and this program tell each other that a serial line is
// in use. A file LCK..NAME in the lock directory holds the owner's pid as ten ASCII characters and
// a line feed; a file whose process is gone is stale and may be removed.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brimwell::serial {

// $BRIMWELL_LOCK_DIR when set (tests), else /run/lock where it is a directory, else /var/lock.
std::string lockDirectory();

// The node a chain of symbolic links ends at, followed link by link with readlink() (which
// emulated device trees can see, where realpath() works inside the C library).
std::string finalLinkTarget(std::string path);

// The names a device is locked under: the UUCP name (the part after /dev/ with '/' turned into '_')
// of the path as given and of the node its links end at, without repeats: /dev/serial/by-id/usb-X
// gives serial_by-id_usb-X and ttyUSB0, a link /tmp/unit to /dev/pts/3 only pts_3. (Names outside
// /dev are left out: the last components of two such paths, which minicom would use, need not
// differ although their devices do.)
std::vector<std::string> lockNames(const std::string& path);

// The pid a lock file's text names. ASCII digits with or without leading blanks and a trailing
// line feed (any length); exactly four bytes that are not all such text are a binary int, as
// older programs wrote it. Nothing for anything else or a pid that cannot be one.
std::optional<long> lockFilePid(std::string_view text);

struct LockHolder {
    long pid = 0;
    std::string file;
};

// Live lock files of other processes for `path` (any of its names). Never opens the device.
std::vector<LockHolder> lockFileHolders(const std::string& path);

// The lock files of one device this process holds while it has the device open.
class DeviceLock {
  public:
    enum class Outcome {
        Taken,       // our lock files are written
        HeldByOther, // a live lock of another process (or of another port of ours) refuses it
        NotWritable, // the lock directory cannot be written: the device is locked with flock only
    };
    DeviceLock() = default;
    ~DeviceLock() { release(); }
    DeviceLock(const DeviceLock&) = delete;
    DeviceLock& operator=(const DeviceLock&) = delete;

    // Removes stale locks of the device (with a note) and writes ours under each of its names.
    // `holder` is set when another process holds it.
    Outcome take(const std::string& path, LockHolder* holder = nullptr);
    // Removes our lock files (those that still name this process).
    void release();

  private:
    std::vector<std::string> files_;
};

// Where notes about lock files go (a stale lock removed, a directory that cannot be written);
// standard error until a program sets its own. Called on the thread that opens the port.
void setLockNoteSink(std::function<void(const std::string&)> sink);

// Removes every lock file this process holds. Async-signal-safe: for signal handlers and exits
// that skip destructors.
void removeHeldLockFiles();

// From now on SIGINT, SIGTERM, SIGHUP, SIGQUIT and the crash signals first remove the held lock
// files, then take their default action (a program's own handlers installed later take precedence).
void removeLockFilesOnSignals();

} // namespace brimwell::serial
