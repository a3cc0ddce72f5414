#include "updater/ParentProcess.h"

#include "updater/HandOff.h"
#include "updater/MonotonicClock.h"

#include <cerrno>
#include <climits>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr int stepMs = 50;
constexpr int endingGraceMs = 1000;

std::string executableOf(pid_t pid)
{
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    std::string target(PATH_MAX, '\0');
    const ssize_t length = readlink(link.c_str(), target.data(), target.size());
    if (length <= 0 || size_t(length) >= target.size())
        return {};
    target.resize(size_t(length));
    return target;
}

} // namespace

ParentProcess::~ParentProcess()
{
    close();
}

void ParentProcess::close()
{
    if (m_pidfd >= 0)
        ::close(m_pidfd);
    m_pidfd = -1;
}

bool ParentProcess::hasEnded(int waitMs) const
{
    pollfd watch{m_pidfd, POLLIN, 0};
    return poll(&watch, 1, waitMs) == 1 && (watch.revents & POLLIN);
}

ParentProcess::Inspection ParentProcess::inspect(pid_t pid, const std::string &expectedImage)
{
    m_pidfd = int(syscall(SYS_pidfd_open, pid, 0));
    if (m_pidfd < 0)
        return errno == ESRCH ? Inspection::Gone : Inspection::InspectFailed;
    const std::string image = executableOf(pid);
    // The process might end between the two steps (a zombie has no executable any more), and only
    // while it still runs is the id sure to name the process the pidfd holds. One that is ending
    // loses its executable a moment before its pidfd reports the end: without an executable, give
    // it that moment.
    if (hasEnded(image.empty() ? endingGraceMs : 0)) {
        close();
        return Inspection::Gone;
    }
    const std::string imageKey = HandOff::pathKey(image);
    if (imageKey.empty() || imageKey != HandOff::pathKey(expectedImage)) {
        close();
        return Inspection::Mismatch;
    }
    return Inspection::Running;
}

ParentProcess::Wait ParentProcess::waitForExit(int limitMs, const std::function<void()> &idle, int extraDescriptor)
{
    const long long deadline = monotonicMs() + limitMs;
    for (;;) {
        pollfd watch[2] = {{m_pidfd, POLLIN, 0}, {extraDescriptor, POLLIN, 0}};
        const int ready = poll(watch, extraDescriptor >= 0 ? 2 : 1, stepMs);
        if (ready < 0 && errno != EINTR)
            return Wait::Failed;
        if (ready > 0 && (watch[0].revents & (POLLIN | POLLHUP)))
            return Wait::Ended;
        if (ready > 0 && (watch[0].revents & (POLLERR | POLLNVAL)))
            return Wait::Failed;
        idle();
        if (monotonicMs() >= deadline)
            return Wait::TimedOut;
    }
}
