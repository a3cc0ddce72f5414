#include "updater/ChildProcess.h"

#include "updater/MonotonicClock.h"

#include <cerrno>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>

extern char **environ;

namespace {

constexpr int stepMs = 50;

} // namespace

pid_t ChildProcess::start(const std::string &program, const std::vector<std::string> &argv,
                          const std::string &workingDirectory, bool detached)
{
    std::vector<char *> arguments;
    for (const std::string &argument : argv)
        arguments.push_back(const_cast<char *>(argument.c_str()));
    arguments.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.c_str());
    if (detached)
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    pid_t pid = -1;
    // Every descriptor of the updater is close-on-exec, so nothing but the standard streams is inherited.
    const int failure = posix_spawn(&pid, program.c_str(), &actions, &attributes, arguments.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return failure == 0 ? pid : -1;
}

ChildProcess::Wait ChildProcess::waitForExit(pid_t pid, int limitMs, const std::function<void()> &idle,
                                             int *exitCode, int extraDescriptor)
{
    const long long deadline = monotonicMs() + limitMs;
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done < 0 && errno != EINTR)
            return Wait::Failed;
        if (done == pid) {
            if (WIFEXITED(status))
                *exitCode = WEXITSTATUS(status);
            return Wait::Exited;
        }
        if (monotonicMs() >= deadline)
            return Wait::TimedOut;
        pollfd watch{extraDescriptor, POLLIN, 0};
        poll(&watch, extraDescriptor >= 0 ? 1 : 0, stepMs);
        idle();
    }
}
