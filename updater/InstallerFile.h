#pragma once

#include <cstdint>
#include <string>

// The downloaded installer, copied into a private folder (mode 0700) beside the download and then
// hashed through a read-only descriptor of that copy. The descriptor is what runs: the bytes that
// were hashed are the bytes that execute, whatever happens to any name in the meantime. The download
// folder must be trusted (see TrustedFolder): nobody else may rename or replace entries there. The
// copy, its folder and the descriptor are released when this object goes.
class InstallerFile
{
public:
    enum class Result { Verified, Mismatch, CopyFailed, UnsafeFolder };

    InstallerFile() = default;
    ~InstallerFile();
    InstallerFile(const InstallerFile &) = delete;
    InstallerFile &operator=(const InstallerFile &) = delete;

    Result verifyAndStage(const std::string &path, const std::string &sha256, std::uint64_t size);
    const std::string &stagedPath() const { return m_stagedPath; }
    // Read-only, close-on-exec descriptor of the verified copy; -1 before verification.
    int descriptor() const { return m_fd; }
    void remove();

private:
    bool copyInto(int source, const std::string &name);
    bool hashMatches(const std::string &sha256, std::uint64_t size) const;

    std::string m_folder;
    std::string m_stagedPath;
    int m_fd = -1;
};
