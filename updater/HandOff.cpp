#include "updater/HandOff.h"

#include <climits>
#include <filesystem>
#include <sys/stat.h>

namespace {

constexpr std::uint64_t maxInstallerBytes = 536870912;
const char applicationFileName[] = "ZelvoPlayout";

// Decimal digits only: no sign, no blanks, no trailing characters, no overflow.
std::optional<std::uint64_t> decimal(const std::string &text, std::uint64_t limit)
{
    if (text.empty() || text.size() > 20)
        return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        const std::uint64_t digit = std::uint64_t(c - '0');
        if (value > (limit - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

bool isLowerHexDigest(const std::string &text)
{
    if (text.size() != 64)
        return false;
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

bool isDirectory(const std::string &path)
{
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

} // namespace

std::string HandOff::pathKey(const std::string &path)
{
    if (path.empty())
        return {};
    std::error_code error;
    const std::filesystem::path canonical = std::filesystem::weakly_canonical(path, error);
    return error ? std::string() : canonical.string();
}

std::optional<HandOff> HandOff::fromOptions(const UpdaterOptions &options)
{
    HandOff handOff;
    handOff.target = options.value("--target");
    handOff.restart = options.value("--restart");
    handOff.installer = options.value("--installer");
    handOff.sha256 = options.value("--sha256");
    handOff.stateDir = options.value("--state-dir");
    handOff.show = options.value("--show");
    handOff.language = options.value("--lang");
    handOff.quiet = options.has("--qa");
    handOff.portable = options.has("--portable");
    handOff.noRestart = options.has("--no-restart");

    if (handOff.target.empty())
        return std::nullopt;
    const std::string expectedKey = pathKey((std::filesystem::path(handOff.target) / applicationFileName).string());
    if (expectedKey.empty() || expectedKey != pathKey(handOff.restart))
        return std::nullopt;
    if (!isDirectory(handOff.target) || !isLowerHexDigest(handOff.sha256))
        return std::nullopt;
    const auto size = decimal(options.value("--size"), maxInstallerBytes);
    const auto pid = decimal(options.value("--parent-pid"), std::uint64_t(INT_MAX));
    if (!size || !pid || *size == 0 || *pid == 0)
        return std::nullopt;
    handOff.size = *size;
    handOff.parentPid = pid_t(*pid);
    return handOff;
}
