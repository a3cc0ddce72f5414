#include "engine/ShowPaths.h"

#include <QDir>
#include <QFileInfo>

#include <functional>

namespace {

// Runs edit on every media path a show holds: the library, the legacy playlist and every
// Program's playlist. Folders are not media paths.
void forEachMediaPath(Show &show, const std::function<void(QString &)> &edit)
{
    for (QString &entry : show.library)
        edit(entry);
    for (Cue &cue : show.playlist)
        edit(cue.source);
    for (ShowProgram &program : show.programs) {
        for (Cue &cue : program.playlist)
            edit(cue.source);
    }
}

QString showFolder(const QString &showPath)
{
    return QDir::cleanPath(QFileInfo(showPath).absolutePath());
}

} // namespace

void makeShowPathsRelative(Show &show, const QString &showPath)
{
    QString base = showFolder(showPath);
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    forEachMediaPath(show, [&base](QString &entry) {
        const QString cleaned = QDir::cleanPath(QDir::fromNativeSeparators(entry));
        if (cleaned.size() > base.size() && cleaned.startsWith(base, Qt::CaseSensitive))
            entry = cleaned.mid(base.size());
    });
}

void resolveShowPaths(Show &show, const QString &showPath)
{
    if (showPath.isEmpty())
        return;
    const QDir folder(showFolder(showPath));
    forEachMediaPath(show, [&folder](QString &entry) {
        if (!entry.isEmpty() && QDir::isRelativePath(entry))
            entry = QDir::cleanPath(folder.filePath(entry));
    });
}
