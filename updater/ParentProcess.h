#pragma once

#include <functional>
#include <string>
#include <sys/types.h>

// The application that started the updater, held through a pidfd so that its id cannot be taken over
// by another process while the updater waits for it.
class ParentProcess
{
public:
    enum class Inspection { Running, Gone, InspectFailed, Mismatch };
    enum class Wait { Ended, TimedOut, Failed };

    ParentProcess() = default;
    ~ParentProcess();
    ParentProcess(const ParentProcess &) = delete;
    ParentProcess &operator=(const ParentProcess &) = delete;

    // Opens the process and checks that it runs the executable `expectedImage`. Gone: it had
    // already ended, there is nothing to wait for.
    Inspection inspect(pid_t pid, const std::string &expectedImage);

    // Waits until the process ends, calling `idle` with the descriptor the caller watches while
    // nothing happens. Only an exit observed through the pidfd counts as Ended.
    Wait waitForExit(int limitMs, const std::function<void()> &idle, int extraDescriptor);

    void close();

private:
    bool hasEnded(int waitMs) const;

    int m_pidfd = -1;
};
