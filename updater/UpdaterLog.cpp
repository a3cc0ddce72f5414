#include "updater/UpdaterLog.h"

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
    struct stat status {};
    if (stateDir.empty() || stat(stateDir.c_str(), &status) != 0 || !S_ISDIR(status.st_mode))
        return;
    m_fd = ::open((stateDir + "/updater.log").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
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
