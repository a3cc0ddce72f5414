#include "update/TrustedFolder.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool othersMayWrite(const struct stat &status)
{
    return (status.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (status.st_mode & S_ISVTX) == 0;
}

bool ownedByUsOrRoot(const struct stat &status)
{
    return status.st_uid == geteuid() || status.st_uid == 0;
}

TrustedFolder::Verdict checkComponent(const std::string &path, bool last)
{
    struct stat link {};
    if (lstat(path.c_str(), &link) != 0)
        return TrustedFolder::Verdict::Missing;
    // A link decides where the rest of the path leads, so its owner must be trusted like a folder.
    if (S_ISLNK(link.st_mode) && !ownedByUsOrRoot(link))
        return TrustedFolder::Verdict::Unsafe;
    struct stat status {};
    if (stat(path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode))
        return TrustedFolder::Verdict::Missing;
    if (othersMayWrite(status))
        return TrustedFolder::Verdict::Unsafe;
    if (last ? status.st_uid != geteuid() : !ownedByUsOrRoot(status))
        return TrustedFolder::Verdict::Unsafe;
    return TrustedFolder::Verdict::Trusted;
}

} // namespace

TrustedFolder::Verdict TrustedFolder::check(const std::string &path)
{
    if (path.empty())
        return Verdict::Missing;
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error).lexically_normal();
    if (error)
        return Verdict::Missing;
    // Every prefix from the root down; a trailing separator yields an empty last element.
    std::filesystem::path target = absolute;
    if (!target.has_filename())
        target = target.parent_path();
    std::filesystem::path walked;
    for (const auto &component : target) {
        walked /= component;
        const Verdict verdict = checkComponent(walked.string(), walked == target);
        if (verdict != Verdict::Trusted)
            return verdict;
    }
    return Verdict::Trusted;
}

int TrustedFolder::open(const std::string &path, Verdict *verdict)
{
    Verdict scratch = Verdict::Trusted;
    verdict = verdict ? verdict : &scratch;
    struct stat link {};
    if (!path.empty() && lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
        *verdict = Verdict::Symlink;
        return -1;
    }
    *verdict = check(path);
    if (*verdict != Verdict::Trusted)
        return -1;
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat status {};
    // The folder that was opened must still be one that passed: nothing may have replaced it since.
    if (fd < 0 || fstat(fd, &status) != 0 || othersMayWrite(status) || status.st_uid != geteuid()) {
        if (fd >= 0)
            ::close(fd);
        *verdict = fd < 0 && errno == ELOOP ? Verdict::Symlink : Verdict::Unsafe;
        return -1;
    }
    return fd;
}
