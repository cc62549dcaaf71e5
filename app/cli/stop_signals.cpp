#include "app/cli/stop_signals.h"

#include "serial/setup_stop.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace brimwell::cli {

StopSignalPipe::StopSignalPipe() {
    if (::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) {
        fds_[0] = fds_[1] = -1;
        return;
    }
    writeFd_ = fds_[1];
    struct sigaction sa {};
    sa.sa_sigaction = &StopSignalPipe::onSignal;
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    for (size_t i = 0; i < std::size(kSignals); ++i)
        ::sigaction(kSignals[i], &sa, &old_[i]);
}

StopSignalPipe::~StopSignalPipe() {
    if (!ok()) return;
    for (size_t i = 0; i < std::size(kSignals); ++i)
        ::sigaction(kSignals[i], &old_[i], nullptr);
    writeFd_ = -1;
    ::close(fds_[0]);
    ::close(fds_[1]);
}

std::string StopSignalPipe::take() {
    std::string signals;
    char buf[16];
    for (ssize_t n; (n = ::read(fds_[0], buf, sizeof buf)) > 0;)
        signals.append(buf, static_cast<size_t>(n));
    return signals;
}

void StopSignalPipe::resetInChild() {
    for (const int sig : kSignals)
        ::signal(sig, SIG_DFL);
}

bool StopSignalPipe::passOn(pid_t pid, int received) {
    union sigval value {};
    value.sival_int = received;
    return ::sigqueue(pid, SIGTERM, value) == 0;
}

void StopSignalPipe::onSignal(int sig, siginfo_t* info, void*) {
    // Seen at once by a set-up phase that waits in slices, before the pipe's reader runs.
    serial::raiseSetupStop();
    const int saved = errno;
    if (writeFd_ >= 0) {
        int named = sig;
        // Only the parent's word counts: anybody may queue a signal with a value.
        if (sig == SIGTERM && info != nullptr && info->si_code == SI_QUEUE && info->si_pid == ::getppid())
            for (const int stop : kSignals)
                if (info->si_value.sival_int == stop) named = kPassedOn | stop;
        const char c = static_cast<char>(named);
        [[maybe_unused]] const ssize_t r = ::write(writeFd_, &c, 1);
    }
    errno = saved;
}

} // namespace brimwell::cli
