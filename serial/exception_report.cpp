// The process-wide exception reporter.
#include "serial/exception_report.h"

#include <cstdio>
#include <mutex>

namespace brimwell::serial {
namespace {

std::mutex& reporterLock() {
    static std::mutex m;
    return m;
}

ExceptionReporter& reporter() {
    static ExceptionReporter r;
    return r;
}

} // namespace

void setExceptionReporter(ExceptionReporter r) {
    std::lock_guard<std::mutex> g(reporterLock());
    reporter() = std::move(r);
}

std::string exceptionText(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown exception";
    }
}

void reportException(const std::string& what, std::exception_ptr error) {
    ExceptionReporter r;
    {
        std::lock_guard<std::mutex> g(reporterLock());
        r = reporter();
    }
    // A reporter that throws itself must not take the reporting thread down.
    if (r) {
        try {
            r(what, error);
            return;
        } catch (...) {
        }
    }
    std::fprintf(stderr, "brimwell: %s: %s\n", what.c_str(), exceptionText(error).c_str());
}

} // namespace brimwell::serial
