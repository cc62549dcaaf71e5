#include "serial/device_access.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

namespace brimwell::serial {
namespace {

std::string groupName(gid_t gid) {
    char buffer[1024];
    struct group grp {};
    struct group* found = nullptr;
    if (::getgrgid_r(gid, &grp, buffer, sizeof buffer, &found) != 0 || found == nullptr) return {};
    return found->gr_name;
}

std::string userName(uid_t uid) {
    char buffer[1024];
    struct passwd pw {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(uid, &pw, buffer, sizeof buffer, &found) != 0 || found == nullptr)
        return std::to_string(uid);
    return found->pw_name;
}

} // namespace

std::string accessAdvice(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    constexpr mode_t kGroupRw = S_IRGRP | S_IWGRP, kOwnerRw = S_IRUSR | S_IWUSR;
    const std::string group = groupName(st.st_gid);
    // A group only helps when it may read and write: a 600 device's group grants nothing.
    if ((st.st_mode & kGroupRw) == kGroupRw && !group.empty())
        return "add the user to the group '" + group +
               "' that owns it (then log in again), or ask an administrator";
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    char real[PATH_MAX];
    std::string kernel = ::realpath(path.c_str(), real) ? real : path;
    kernel = kernel.substr(kernel.find_last_of('/') + 1);
    const std::string rule = "give it a group with a udev rule (as root), for example: KERNEL==\"" + kernel +
                             "\", GROUP=\"dialout\", MODE=\"0660\"; then add the user to that group";
    if ((st.st_mode & kOwnerRw) == kOwnerRw)
        return "only its owner '" + userName(st.st_uid) + "' may read and write it (mode " + mode +
               "); run as that user, or " + rule;
    return std::string("nobody may read and write it (mode ") + mode + "); " + rule;
}

} // namespace brimwell::serial
