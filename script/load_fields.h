// The fields a script gives the load command: the load address of _LA and the version text of _LV.
// The unit splits the command at spaces, so a field with more in it (further fields, a control
// character) would put text of the script where the unit expects size, checksum and data. The
// run and the script check judge them by these rules.
#pragma once

#include <string>
#include <string_view>

namespace brimwell::script {

struct FieldProblem {
    std::string text;   // "load address '80100000 0 0' ...", "" when the field is fine
    bool fails = false; // the command fails (else a warning)
};

// One hexadecimal number (an optional 0x, then digits); blanks after it change nothing.
FieldProblem loadAddressProblem(std::string_view value);
// Control characters fail it; a space is a warning.
FieldProblem versionTextProblem(std::string_view value);

} // namespace brimwell::script
