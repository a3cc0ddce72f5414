#include "updater/InstallerFile.h"

#include <cerrno>
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

} // namespace

InstallerFile::~InstallerFile()
{
    remove();
}

void InstallerFile::remove()
{
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
    Descriptor source;
    source.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat status {};
    if (source.fd < 0 || fstat(source.fd, &status) != 0 || !S_ISREG(status.st_mode)
        || std::uint64_t(status.st_size) != size)
        return Result::Mismatch;

    std::string folderTemplate = std::filesystem::path(path).parent_path().string();
    folderTemplate += folderTemplate.empty() ? ".zelvo-installer-XXXXXX" : "/.zelvo-installer-XXXXXX";
    if (!mkdtemp(folderTemplate.data()))
        return Result::CopyFailed;
    m_folder = folderTemplate;
    m_stagedPath = m_folder + "/" + std::filesystem::path(path).filename().string();
    Descriptor copy;
    copy.fd = ::open(m_stagedPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0700);
    if (copy.fd < 0) {
        remove();
        return Result::CopyFailed;
    }

    std::unique_ptr<EVP_MD_CTX, DigestDeleter> digest(EVP_MD_CTX_new());
    if (!digest || EVP_DigestInit_ex(digest.get(), EVP_sha256(), nullptr) != 1) {
        remove();
        return Result::Mismatch;
    }
    std::vector<unsigned char> block(blockBytes);
    std::uint64_t total = 0;
    for (;;) {
        const ssize_t got = ::read(source.fd, block.data(), block.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 || EVP_DigestUpdate(digest.get(), block.data(), size_t(got > 0 ? got : 0)) != 1) {
            remove();
            return Result::Mismatch;
        }
        if (got == 0)
            break;
        total += std::uint64_t(got);
        if (!writeAll(copy.fd, block.data(), size_t(got))) {
            remove();
            return Result::CopyFailed;
        }
    }
    const bool closed = ::close(copy.fd) == 0;
    copy.fd = -1;
    if (!closed) {
        remove();
        return Result::CopyFailed;
    }
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    if (EVP_DigestFinal_ex(digest.get(), value, &length) != 1 || total != size || hex(value, length) != sha256) {
        remove();
        return Result::Mismatch;
    }
    return Result::Verified;
}
