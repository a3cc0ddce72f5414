#pragma once

#include "updater/UpdaterOptions.h"

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>

// What the application handed over, after every check that needs nothing but the command line.
struct HandOff
{
    std::string target;
    std::string restart;
    std::string installer;
    std::string sha256;
    std::uint64_t size = 0;
    pid_t parentPid = 0;
    std::string stateDir;
    std::string show;
    std::string language;
    bool quiet = false;
    bool portable = false;
    bool noRestart = false;

    // Null when the hand-off is invalid.
    static std::optional<HandOff> fromOptions(const UpdaterOptions &options);

    // The path made absolute and canonical as far as it exists; empty when that fails. Paths are
    // compared exactly: two names that differ in letter case are two files here.
    static std::string pathKey(const std::string &path);
};
