#include "link/LinkMediaNames.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

QString LinkMediaNames::sanitizeShowName(const QString &name)
{
    QString clean = name.trimmed();
    for (QChar &c : clean) {
        if (QStringLiteral("\\/:*?\"<>|").contains(c))
            c = QLatin1Char('_');
    }
    const bool dotsOnly = !clean.isEmpty() && clean.count(QLatin1Char('.')) == clean.size();
    if (clean.isEmpty() || dotsOnly)
        return QStringLiteral("Show");
    return clean.left(80);
}

QHash<QString, QString> LinkMediaNames::uniqueRelativeNames(const QStringList &paths, QStringList *order)
{
    QHash<QString, QString> names;
    QSet<QString> taken;
    for (const QString &path : paths) {
        const QFileInfo info(path);
        if (names.contains(path) || !info.isFile())
            continue;
        QString name = info.fileName();
        for (int n = 2; taken.contains(name.toLower()); ++n) {
            name = info.completeBaseName() + QStringLiteral(" (%1)").arg(n);
            if (!info.suffix().isEmpty())
                name += QLatin1Char('.') + info.suffix();
        }
        taken.insert(name.toLower());
        names.insert(path, QStringLiteral("media/") + name);
        if (order)
            order->append(path);
    }
    return names;
}

bool LinkMediaNames::isSafeRelative(const QString &relative)
{
    if (!relative.startsWith(QLatin1String("media/")))
        return false;
    const QString name = relative.mid(6);
    if (name.isEmpty() || name.count(QLatin1Char('.')) == name.size() || name.size() > 255)
        return false;
    for (const QChar c : name) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c == QLatin1Char(':') || c.unicode() < 0x20
            || c.unicode() == 0x7f)
            return false;
    }
    return true;
}

QString LinkMediaNames::resolve(const QString &showDir, const QString &relative)
{
    if (!isSafeRelative(relative) || showDir.isEmpty())
        return {};
    const QString root = QDir::cleanPath(QDir(showDir).absolutePath());
    const QString path = QDir::cleanPath(root + QLatin1Char('/') + relative);
    if (!path.startsWith(root + QLatin1Char('/')))
        return {};
    return path;
}
