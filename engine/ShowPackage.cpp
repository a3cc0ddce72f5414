#include "engine/ShowPackage.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QStorageInfo>

#include <memory>
#include <optional>
#include <sys/stat.h>

namespace {

QString uniqueName(const QFileInfo &file, const QSet<QString> &used)
{
    QString name = file.fileName();
    const QString suffix = file.suffix().isEmpty() ? QString() : QLatin1Char('.') + file.suffix();
    for (int k = 2; used.contains(name); ++k)
        name = file.completeBaseName() + QStringLiteral(" (%1)").arg(k) + suffix;
    return name;
}

bool cancelled(const std::atomic<bool> *cancel)
{
    return cancel && cancel->load(std::memory_order_relaxed);
}

enum class CopyOutcome { Done, Failed, Cancelled };

// Identity of the file at path (device and inode), or nothing when there is none.
std::optional<QPair<quint64, quint64>> fileIdentity(const QString &path)
{
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return std::nullopt;
    return QPair<quint64, quint64>(quint64(info.st_dev), quint64(info.st_ino));
}

CopyOutcome copyOne(const QString &source, const QString &destination, char *buffer,
                    std::atomic<qint64> *copiedBytes, const std::atomic<bool> *cancel,
                    QSet<QPair<quint64, quint64>> &written)
{
    const QString partPath = destination + QStringLiteral(".part");
    QFile in(source);
    QFile part(partPath);
    bool ok = in.open(QIODevice::ReadOnly) && part.open(QIODevice::WriteOnly | QIODevice::Truncate);
    bool stopped = false;
    while (ok && !in.atEnd()) {
        if (cancelled(cancel)) {
            stopped = true;
            ok = false;
            break;
        }
        const qint64 read = in.read(buffer, packageChunkBytes);
        if (read < 0) {
            ok = false;
            break;
        }
        if (copiedBytes)
            copiedBytes->fetch_add(read, std::memory_order_relaxed);
        if (read == 0)
            break;
        ok = part.write(buffer, read) == read;
    }
    part.close();
    ok = ok && part.error() == QFileDevice::NoError && QFileInfo(partPath).size() == in.size();
    // Names differ by exact text only; on a volume that folds letter case (a memory stick) Clip.MP4
    // is the clip.mp4 copied before it, which must not be replaced by another file.
    const auto existing = fileIdentity(destination);
    ok = ok && !(existing && written.contains(*existing));
    if (ok) {
        QFile::remove(destination);
        ok = QFile::rename(partPath, destination);
    }
    if (ok) {
        if (const auto identity = fileIdentity(destination))
            written.insert(*identity);
        return CopyOutcome::Done;
    }
    QFile::remove(partPath);
    return stopped ? CopyOutcome::Cancelled : CopyOutcome::Failed;
}

void rewrite(QString &path, const PackagePlan &plan, const QSet<QString> &failed)
{
    const auto relative = plan.relativePaths.constFind(path);
    if (relative != plan.relativePaths.constEnd() && !failed.contains(path))
        path = relative.value();
}

} // namespace

PackagePlan planPackage(const QStringList &mediaPaths, const QString &target, const QString &name)
{
    const QDir folder(target);
    PackagePlan plan;
    plan.showFile = folder.filePath(name + QStringLiteral(".zelvoshow"));
    QSet<QString> used;
    for (const QString &path : mediaPaths) {
        const QFileInfo file(path);
        if (!file.isFile()) {
            plan.missing.append(path);
            continue;
        }
        const QString unique = uniqueName(file, used);
        used.insert(unique);
        const QString relative = QStringLiteral("media/") + unique;
        plan.relativePaths.insert(path, relative);
        plan.copies.append({path, folder.filePath(relative)});
        plan.totalBytes += file.size();
    }
    return plan;
}

PackageResult copyPackageMedia(const PackagePlan &plan, std::atomic<qint64> *copiedBytes,
                               const std::atomic<bool> *cancel)
{
    PackageResult result;
    QDir().mkpath(QFileInfo(plan.showFile).absolutePath() + QStringLiteral("/media"));
    // One buffer for the whole run: media are large and a fresh 4 MiB per file buys nothing.
    const auto buffer = std::make_unique<char[]>(packageChunkBytes);
    QSet<QPair<quint64, quint64>> written;
    for (const auto &[source, destination] : plan.copies) {
        if (cancelled(cancel)) {
            result.cancelled = true;
            break;
        }
        const CopyOutcome outcome = copyOne(source, destination, buffer.get(), copiedBytes, cancel, written);
        if (outcome == CopyOutcome::Done) {
            ++result.copied;
        } else if (outcome == CopyOutcome::Cancelled) {
            result.cancelled = true;
            break;
        } else {
            result.failed.append(source);
        }
    }
    return result;
}

bool packageFits(const QString &folder, qint64 totalBytes)
{
    const QStorageInfo storage(folder);
    if (!storage.isValid())
        return true;
    const qint64 available = storage.bytesAvailable();
    return available < 0 || available >= totalBytes + packageSpaceMargin;
}

QString freePackageFolder(const QString &parent, const QString &name)
{
    const QDir folder(parent);
    QString candidate = folder.filePath(name);
    for (int k = 2; QFileInfo::exists(candidate); ++k)
        candidate = folder.filePath(name + QStringLiteral(" (%1)").arg(k));
    return candidate;
}

void rewritePackagePaths(Show &show, const PackagePlan &plan, const QStringList &failed)
{
    const QSet<QString> failedSet(failed.begin(), failed.end());
    for (QString &entry : show.library)
        rewrite(entry, plan, failedSet);
    for (Cue &cue : show.playlist)
        rewrite(cue.source, plan, failedSet);
    for (ShowProgram &program : show.programs) {
        for (Cue &cue : program.playlist)
            rewrite(cue.source, plan, failedSet);
    }
}
