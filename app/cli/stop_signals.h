// The signals that stop a run reach a loop through a pipe: one byte per signal, its number.
#pragma once

#include <csignal>
#include <string>

namespace brimwell::cli {

// Ctrl+C, a service manager's SIGTERM, and SIGHUP when the operator's terminal or session goes
// away. One pipe at a time per process: the handler writes to the one that is open.
class StopSignalPipe {
  public:
    static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

    // Opens the pipe and installs the handler; ok() tells whether that worked.
    StopSignalPipe();
    // Puts the former actions back and closes the pipe.
    ~StopSignalPipe();
    StopSignalPipe(const StopSignalPipe&) = delete;
    StopSignalPipe& operator=(const StopSignalPipe&) = delete;

    bool ok() const { return fds_[0] >= 0; }
    int readFd() const { return fds_[0]; }
    // The signals received since the last call, in order of arrival: one byte each, the signal's
    // number, or kPassedOn plus the number of the signal a parent passed on.
    std::string take();
    // In a child between fork and exec: every stop signal back to its default action, so that
    // none reaches the parent's pipe.
    static void resetInChild();

    // A parent passing a stop on to a unit's process: SIGTERM, carrying the signal the parent
    // received, so that the unit stops as on SIGTERM but names the stop as the operator gave it.
    static bool passOn(pid_t pid, int received);
    static constexpr unsigned char kPassedOn = 0x40;

  private:
    static void onSignal(int sig, siginfo_t* info, void*);
    static inline volatile int writeFd_ = -1;
    int fds_[2]{-1, -1};
    struct sigaction old_[std::size(kSignals)]{};
};

} // namespace brimwell::cli
