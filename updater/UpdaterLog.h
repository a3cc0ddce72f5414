#pragma once

#include <string>

// The updater's account of a run, appended to "updater.log" in the application's state directory
// (nothing is written when there is no state directory).
class UpdaterLog
{
public:
    UpdaterLog() = default;
    ~UpdaterLog();
    UpdaterLog(const UpdaterLog &) = delete;
    UpdaterLog &operator=(const UpdaterLog &) = delete;

    void open(const std::string &stateDir);
    void write(const std::string &line);

private:
    int m_fd = -1;
};
