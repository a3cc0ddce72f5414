#pragma once

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

// Starting the installer and the application again.
class ChildProcess
{
public:
    enum class Wait { Exited, TimedOut, Failed };

    // Starts program with argv (argv[0] included) in workingDirectory with the inherited
    // environment; `detached` puts it into a session of its own. Returns the process id, or -1.
    static pid_t start(const std::string &program, const std::vector<std::string> &argv,
                       const std::string &workingDirectory, bool detached);

    // Starts the file open as `programDescriptor` (fexecve), so no name is resolved between the
    // check of its bytes and their execution. The descriptor stays open across the exec only in the
    // child, because a script's interpreter reads the script through it. Returns the id, or -1.
    static pid_t startFromDescriptor(int programDescriptor, const std::vector<std::string> &argv,
                                     const std::string &workingDirectory);

    // Waits for a child started above, calling `idle` between 50 ms steps; *exitCode receives the
    // exit status, or stays unset when the process ended through a signal.
    static Wait waitForExit(pid_t pid, int limitMs, const std::function<void()> &idle, int *exitCode,
                            int extraDescriptor);
};
