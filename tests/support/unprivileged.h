// Runs a piece of a test as an ordinary user (nobody, outside every group) in a child process:
// as root no file mode stops an open, so permission errors are only seen this way.
#pragma once

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

namespace brimwell::testing {

struct ChildReport {
    int exitCode = -1; // -1: the child did not exit normally; 3: it could not drop its rights
    std::string said;  // what the body wrote into `said`
};

// `body` runs in the child with the rights dropped; its return value is the child's exit code.
inline ChildReport runAsNobody(const std::function<int(std::string& said)>& body) {
    ChildReport r;
    int fds[2];
    if (::pipe(fds) != 0) return r;
    const pid_t child = ::fork();
    if (child < 0) return r;
    if (child == 0) {
        ::close(fds[0]);
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
        std::string said;
        const int code = body(said);
        (void)!::write(fds[1], said.data(), said.size());
        ::_exit(code);
    }
    ::close(fds[1]);
    char buf[512];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0)
        r.said.append(buf, std::size_t(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
    return r;
}

} // namespace brimwell::testing
