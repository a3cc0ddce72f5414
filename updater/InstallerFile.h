#pragma once

#include <cstdint>
#include <string>

// The downloaded installer, checked against the hand-off's size and SHA-256 while it is copied into
// a private folder (mode 0700) beside it. The copy is what runs: the bytes that were hashed are the
// bytes that execute, whatever happens to the download in the meantime. The copy and its folder are
// removed when this object goes.
class InstallerFile
{
public:
    enum class Result { Verified, Mismatch, CopyFailed };

    InstallerFile() = default;
    ~InstallerFile();
    InstallerFile(const InstallerFile &) = delete;
    InstallerFile &operator=(const InstallerFile &) = delete;

    Result verifyAndStage(const std::string &path, const std::string &sha256, std::uint64_t size);
    const std::string &stagedPath() const { return m_stagedPath; }
    void remove();

private:
    std::string m_folder;
    std::string m_stagedPath;
};
