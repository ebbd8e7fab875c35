// Runs a check in a child process of its own, for settings that must not reach the test process:
// a lowered address-space limit, a narrowed CPU affinity.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <exception>
#include <string>

namespace nuvra::testing {

// What `body()` returns when run in a forked child; "threw: <what>" when it throws, and a line on
// how the child ended when it does not end by itself.
template <class Body>
std::string in_child(Body&& body) {
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0) return "no pipe to a child";
    pid_t const pid = fork();
    if (pid < 0) return "no child process";
    if (pid == 0) {
        close(pipe_ends[0]);
        std::string said;
        try {
            said = body();
        } catch (std::exception const& e) {
            said = std::string("threw: ") + e.what();
        }
        for (size_t at = 0; at < said.size();) {
            ssize_t const written = write(pipe_ends[1], said.data() + at, said.size() - at);
            if (written <= 0) break;
            at += size_t(written);
        }
        _exit(0);
    }
    close(pipe_ends[1]);
    std::string said;
    char chunk[256];
    for (ssize_t got; (got = read(pipe_ends[0], chunk, sizeof chunk)) > 0;) said.append(chunk, size_t(got));
    close(pipe_ends[0]);
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return "the child process ended abnormally (status " + std::to_string(status) + ")";
    return said;
}

}  // namespace nuvra::testing
