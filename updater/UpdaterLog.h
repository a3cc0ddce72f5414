#pragma once

#include <string>

// The updater's account of a run, appended to "updater.log" in the application's state directory.
// Nothing is written when there is no state directory, when it is a symbolic link or a folder that
// others can change, or when "updater.log" is anything but a plain file of our own: the log must
// never become a way to make the updater write some other file.
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
