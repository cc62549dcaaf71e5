// What would let this user open a device node that refused it, in words for the operator.
#pragma once

#include <string>

namespace brimwell::serial {

// What grants read and write access to `path`: the group that may read and write it ("add the
// user to the group 'dialout' that owns it ..."), else its owner when only the owner may, else a
// udev rule that gives it such a group. "" when the node cannot be looked at.
std::string accessAdvice(const std::string& path);

} // namespace brimwell::serial
