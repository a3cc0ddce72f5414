#pragma once

#include "updater/HandOff.h"
#include "updater/StatusDisplay.h"
#include "updater/UpdaterLog.h"

#include <memory>
#include <string>

// One run of the updater, from the hand-off to the relaunch. Exit codes: 0 installed (and started
// again unless told not to), 2 invalid hand-off, 3 the parent is not the application or cannot be
// inspected, 4 the installer failed verification, 5 the application did not end, 6 the installer
// could not be started, 7 the installer did not end, 8 the installer failed, 9 installed but the
// application could not be started, 10 the state or download folder can be changed by other users
// (whoever can rename entries there could swap the installer). 1 is never returned.
class Updater
{
public:
    Updater(int argc, const char *const *argv);
    int run();

private:
    int fail(const std::string &message, int code);
    int runInstallation(const HandOff &handOff);
    int relaunch(const HandOff &handOff);
    void idle();

    int m_argc;
    const char *const *m_argv;
    UpdaterLog m_log;
    std::unique_ptr<StatusDisplay> m_display;
};
