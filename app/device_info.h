// What the system knows about a serial device beyond the port component's own report: the group
// that owns it, the programs that hold it open, whether it is a terminal at all. Used to tell the
// operator what to do when a port does not open.
#pragma once

#include <string>
#include <vector>

namespace brimwell::app {

// Name of the group owning the device node ("" when it cannot be told).
std::string deviceGroup(const std::string& path);

// Other processes that hold the device, as "NAME (pid N)": those that lock it (an advisory lock, or
// a live UUCP lock file, serial/uucp_lock.h), else those that have it
// open. Empty when none shows (another user's processes are invisible to an unprivileged user).
// Never opens the device.
std::vector<std::string> deviceHolders(const std::string& path);

// Why `path` cannot be a serial line ("" when it is a character device that is a terminal, or when
// it cannot be opened to tell).
std::string notATerminal(const std::string& path);

// Sentences for an operator: "another program holds it (NAME (pid N))", and the group advice.
std::string busyText(const std::string& path);
std::string permissionText(const std::string& path);

} // namespace brimwell::app
