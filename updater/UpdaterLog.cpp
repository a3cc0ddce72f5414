#include "updater/UpdaterLog.h"

#include "update/TrustedFolder.h"

#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

UpdaterLog::~UpdaterLog()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

void UpdaterLog::open(const std::string &stateDir)
{
    const int folder = TrustedFolder::open(stateDir, nullptr);
    if (folder < 0)
        return;
    const int fd = ::openat(folder, "updater.log", O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    ::close(folder);
    struct stat status {};
    // Only a plain file of our own with no second name: a hard link could point the log anywhere.
    if (fd >= 0 && fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_uid == geteuid()
        && status.st_nlink == 1) {
        m_fd = fd;
    } else if (fd >= 0) {
        ::close(fd);
    }
}

void UpdaterLog::write(const std::string &line)
{
    if (m_fd < 0)
        return;
    char stamp[32] = {};
    const std::time_t now = std::time(nullptr);
    std::tm utc {};
    gmtime_r(&now, &utc);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ ", &utc);
    const std::string text = stamp + line + "\n";
    // One write call per line keeps lines whole when two updaters share the log.
    [[maybe_unused]] const ssize_t written = ::write(m_fd, text.data(), text.size());
}
