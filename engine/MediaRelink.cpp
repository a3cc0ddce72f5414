#include "engine/MediaRelink.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

namespace {

QStringList lowerComponents(const QString &path)
{
    return QDir::fromNativeSeparators(path).toLower().split(QLatin1Char('/'), Qt::SkipEmptyParts);
}

QString lowerName(const QString &path)
{
    return QFileInfo(path).fileName().toLower();
}

// The candidate with the single highest score, or the empty string on a tie.
QString bestCandidate(const QString &missing, const QStringList &candidates)
{
    if (candidates.size() == 1)
        return candidates.first();
    int bestScore = -1;
    QString best;
    bool shared = false;
    for (const QString &candidate : candidates) {
        const int score = tailScore(missing, candidate);
        if (score > bestScore) {
            bestScore = score;
            best = candidate;
            shared = false;
        } else if (score == bestScore) {
            shared = true;
        }
    }
    return shared ? QString() : best;
}

} // namespace

int tailScore(const QString &missing, const QString &candidate)
{
    const QStringList a = lowerComponents(missing);
    const QStringList b = lowerComponents(candidate);
    int score = 0;
    for (auto i = a.crbegin(), j = b.crbegin(); i != a.crend() && j != b.crend() && *i == *j; ++i, ++j)
        ++score;
    return score;
}

QHash<QString, QString> matchMissingMedia(const QStringList &missing, const QString &folder,
                                          int entryLimit)
{
    QHash<QString, QStringList> wanted;
    for (const QString &path : missing)
        wanted[lowerName(path)].append(path);

    QHash<QString, QStringList> found;
    QDirIterator it(folder, QDir::Files | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    for (int entries = 0; entries < entryLimit && it.hasNext(); ++entries) {
        const QString path = it.next();
        const QString name = it.fileName().toLower();
        if (wanted.contains(name))
            found[name].append(QDir::cleanPath(path));
    }

    QHash<QString, QString> map;
    for (const QString &path : missing) {
        const QString match = bestCandidate(path, found.value(lowerName(path)));
        if (!match.isEmpty())
            map.insert(path, match);
    }
    return map;
}

QFuture<QHash<QString, QString>> startMediaMatch(const QStringList &missing, const QString &folder)
{
    return QtConcurrent::run(QThreadPool::globalInstance(), [missing, folder] {
        return matchMissingMedia(missing, folder);
    });
}

int applyRelinkMap(QStringList &library, QList<ShowProgram> &programs,
                   const QHash<QString, QString> &map)
{
    if (map.isEmpty())
        return 0;
    int replaced = 0;
    const auto relink = [&map, &replaced](QString &path) {
        const auto found = map.constFind(path);
        if (found != map.constEnd()) {
            path = found.value();
            ++replaced;
        }
    };
    for (QString &entry : library)
        relink(entry);
    for (ShowProgram &program : programs) {
        for (Cue &cue : program.playlist)
            relink(cue.source);
    }
    library.removeDuplicates();
    return replaced;
}
