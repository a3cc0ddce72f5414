#include "updater/InstallerFile.h"

#include "update/TrustedFolder.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t blockBytes = 1048576;

struct Descriptor
{
    int fd = -1;
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

struct DigestDeleter
{
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};

bool writeAll(int fd, const unsigned char *bytes, size_t length)
{
    while (length > 0) {
        const ssize_t written = ::write(fd, bytes, length);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        bytes += written;
        length -= size_t(written);
    }
    return true;
}

ssize_t readSome(int fd, unsigned char *bytes, size_t length, off_t offset)
{
    for (;;) {
        const ssize_t got = offset < 0 ? ::read(fd, bytes, length) : ::pread(fd, bytes, length, offset);
        if (got >= 0 || errno != EINTR)
            return got;
    }
}

std::string hex(const unsigned char *bytes, unsigned length)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned i = 0; i < length; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

bool sameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

} // namespace

InstallerFile::~InstallerFile()
{
    remove();
}

void InstallerFile::remove()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    if (!m_stagedPath.empty())
        ::unlink(m_stagedPath.c_str());
    if (!m_folder.empty())
        ::rmdir(m_folder.c_str());
    m_stagedPath.clear();
    m_folder.clear();
}

InstallerFile::Result InstallerFile::verifyAndStage(const std::string &path, const std::string &sha256,
                                                    std::uint64_t size)
{
    const std::string parent = std::filesystem::path(path).parent_path().string();
    const std::string folder = parent.empty() ? std::string(".") : parent;
    const TrustedFolder::Verdict verdict = TrustedFolder::check(folder);
    if (verdict == TrustedFolder::Verdict::Missing)
        return Result::Mismatch;
    if (verdict != TrustedFolder::Verdict::Trusted)
        return Result::UnsafeFolder;

    Descriptor source;
    source.fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat status {};
    if (source.fd < 0 || fstat(source.fd, &status) != 0 || !S_ISREG(status.st_mode)
        || std::uint64_t(status.st_size) != size)
        return Result::Mismatch;

    std::string folderTemplate = folder + "/.zelvo-installer-XXXXXX";
    if (!mkdtemp(folderTemplate.data()))
        return Result::CopyFailed;
    m_folder = folderTemplate;
    const std::string name = std::filesystem::path(path).filename().string();
    m_stagedPath = m_folder + "/" + name;
    if (!copyInto(source.fd, name)) {
        remove();
        return Result::CopyFailed;
    }
    if (!hashMatches(sha256, size)) {
        remove();
        return Result::Mismatch;
    }
    return Result::Verified;
}

// Copies the download into the private folder and keeps a read-only descriptor of the copy (the
// writing one must be closed before the copy can execute).
bool InstallerFile::copyInto(int source, const std::string &name)
{
    Descriptor folder;
    folder.fd = ::open(m_folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder.fd < 0)
        return false;
    Descriptor copy;
    copy.fd = ::openat(folder.fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0700);
    struct stat written {};
    if (copy.fd < 0 || fstat(copy.fd, &written) != 0)
        return false;
    std::vector<unsigned char> block(blockBytes);
    for (;;) {
        const ssize_t got = readSome(source, block.data(), block.size(), -1);
        if (got < 0)
            return false;
        if (got == 0)
            break;
        if (!writeAll(copy.fd, block.data(), size_t(got)))
            return false;
    }
    const bool closed = ::close(copy.fd) == 0;
    copy.fd = -1;
    m_fd = closed ? ::openat(folder.fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC) : -1;
    struct stat reopened {};
    return m_fd >= 0 && fstat(m_fd, &reopened) == 0 && sameFile(written, reopened) && reopened.st_nlink == 1;
}

bool InstallerFile::hashMatches(const std::string &sha256, std::uint64_t size) const
{
    std::unique_ptr<EVP_MD_CTX, DigestDeleter> digest(EVP_MD_CTX_new());
    if (!digest || EVP_DigestInit_ex(digest.get(), EVP_sha256(), nullptr) != 1)
        return false;
    std::vector<unsigned char> block(blockBytes);
    std::uint64_t total = 0;
    for (;;) {
        const ssize_t got = readSome(m_fd, block.data(), block.size(), off_t(total));
        if (got < 0 || EVP_DigestUpdate(digest.get(), block.data(), size_t(got)) != 1)
            return false;
        if (got == 0)
            break;
        total += std::uint64_t(got);
    }
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    return EVP_DigestFinal_ex(digest.get(), value, &length) == 1 && total == size && hex(value, length) == sha256;
}
