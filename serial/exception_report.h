// The one place where the program reports an exception that escaped a trigger handler, a port
// thread or a component event: the application installs its display once; without one the
// report goes to stderr.
#pragma once

#include <exception>
#include <functional>
#include <string>

namespace brimwell::serial {

// what: what was being done when the exception escaped.
using ExceptionReporter = std::function<void(const std::string& what, std::exception_ptr error)>;

// Process-wide; an empty reporter restores the stderr default.
void setExceptionReporter(ExceptionReporter reporter);
void reportException(const std::string& what, std::exception_ptr error);
// The exception's own text ("unknown exception" for one that is not a std::exception).
std::string exceptionText(std::exception_ptr error);

} // namespace brimwell::serial
