#include "updater/ChildProcess.h"

#include "updater/MonotonicClock.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

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

pid_t ChildProcess::startFromDescriptor(int programDescriptor, const std::vector<std::string> &argv,
                                       const std::string &workingDirectory)
{
    std::vector<char *> arguments;
    for (const std::string &argument : argv)
        arguments.push_back(const_cast<char *>(argument.c_str()));
    arguments.push_back(nullptr);

    // The child reports a failed exec through this pipe; a successful exec closes it unwritten.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0)
        return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        ::close(report[0]);
        int failure = 0;
        if (chdir(workingDirectory.c_str()) != 0 || fcntl(programDescriptor, F_SETFD, 0) != 0)
            failure = errno;
        else {
            fexecve(programDescriptor, arguments.data(), environ);
            failure = errno;
        }
        [[maybe_unused]] const ssize_t written = ::write(report[1], &failure, sizeof failure);
        _exit(127);
    }
    ::close(report[1]);
    if (pid < 0) {
        ::close(report[0]);
        return -1;
    }
    int failure = 0;
    ssize_t got = 0;
    do
        got = ::read(report[0], &failure, sizeof failure);
    while (got < 0 && errno == EINTR);
    ::close(report[0]);
    if (got == 0)
        return pid;
    waitpid(pid, nullptr, 0);
    return -1;
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
