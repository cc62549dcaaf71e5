// Device facts from stat(), the group database and /proc.
#include "app/device_info.h"

#include "serial/device_access.h"
#include "serial/shown_text.h"
#include "serial/uucp_lock.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace brimwell::app {
namespace {

bool sameNode(const struct stat& a, const struct stat& b) {
    // Two opens of one device node: same device number for character devices, same inode otherwise.
    if (S_ISCHR(a.st_mode) && S_ISCHR(b.st_mode)) return a.st_rdev == b.st_rdev;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Any program may rename itself; its name must not steer the operator's terminal.
std::string processName(const std::string& pid) {
    std::ifstream comm("/proc/" + pid + "/comm");
    std::string name;
    std::getline(comm, name);
    return name.empty() ? "?" : serial::escapeFileName(name);
}

bool holds(const std::string& pid, const struct stat& device) {
    const std::string fdDir = "/proc/" + pid + "/fd";
    DIR* dir = ::opendir(fdDir.c_str());
    if (!dir) return false;
    bool found = false;
    while (const dirent* e = ::readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        struct stat st {};
        if (::stat((fdDir + "/" + e->d_name).c_str(), &st) == 0 && sameNode(st, device)) {
            found = true;
            break;
        }
    }
    ::closedir(dir);
    return found;
}

} // namespace

std::string deviceGroup(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    char buffer[1024];
    struct group grp {};
    struct group* found = nullptr;
    if (::getgrgid_r(st.st_gid, &grp, buffer, sizeof buffer, &found) != 0 || found == nullptr) return {};
    return found->gr_name;
}

namespace {

// Processes holding a lock on the device node: those are what refuses our open, where merely
// having it open (the far end of a pseudo-terminal, a monitor) does not.
std::vector<std::string> lockHolders(const struct stat& device) {
    std::vector<std::string> holders;
    std::ifstream locks("/proc/locks");
    char where[64];
    std::snprintf(where, sizeof where, "%02x:%02x:%lu", major(device.st_dev), minor(device.st_dev),
                  static_cast<unsigned long>(device.st_ino));
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);
        std::string id, kind, mode, access, pid, node;
        if (!(fields >> id >> kind >> mode >> access >> pid >> node) || node != where) continue;
        // The pid is the one that took the lock; a helper that locked a descriptor it shares with
        // others (flock(1)) may be gone, and those who have the device open are then the answer.
        if (::access(("/proc/" + pid).c_str(), F_OK) != 0) continue;
        holders.push_back(processName(pid) + " (pid " + pid + ")");
    }
    return holders;
}

} // namespace

std::vector<std::string> deviceHolders(const std::string& path) {
    std::vector<std::string> holders;
    const std::string node = serial::finalLinkTarget(path);
    struct stat device {};
    if (::stat(node.c_str(), &device) != 0) return holders;
    holders = lockHolders(device);
    // Programs of the UUCP tradition (minicom, cu, ser2net) mark a line as theirs with a lock file.
    for (const serial::LockHolder& h : serial::lockFileHolders(path)) {
        const std::string id = std::to_string(h.pid);
        holders.push_back(processName(id) + " (pid " + id + ", lock file " + h.file + ")");
    }
    if (!holders.empty()) return holders;
    DIR* proc = ::opendir("/proc");
    if (!proc) return holders;
    const std::string self = std::to_string(::getpid());
    while (const dirent* e = ::readdir(proc)) {
        const std::string pid = e->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos || pid == self) continue;
        if (holds(pid, device)) holders.push_back(processName(pid) + " (pid " + pid + ")");
    }
    ::closedir(proc);
    return holders;
}

std::string notATerminal(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    if (S_ISDIR(st.st_mode)) return "it is a directory, not a serial device";
    if (!S_ISCHR(st.st_mode)) return "it is a file, not a serial device";
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return {};
    const bool terminal = ::isatty(fd) == 1;
    ::close(fd);
    return terminal ? std::string() : "it is a device but not a serial line (not a terminal)";
}

std::string busyText(const std::string& path) {
    std::string text = "another program holds it";
    const std::vector<std::string> holders = deviceHolders(path);
    for (size_t i = 0; i < holders.size(); ++i)
        text += (i == 0 ? " (" : ", ") + holders[i];
    if (!holders.empty()) text += ")";
    return text + "; end that program or use another port";
}

std::string permissionText(const std::string& path) {
    const std::string advice = serial::accessAdvice(path);
    return "permission denied; " + (advice.empty() ? "this user may not read and write it" : advice);
}

} // namespace brimwell::app
