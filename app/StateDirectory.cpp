#include "app/StateDirectory.h"

#include <QDir>
#include <QFile>

namespace StateDirectory {

bool prepare(const QString &directory)
{
    if (!QDir().mkpath(directory))
        return false;
    QFile::setPermissions(directory, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return true;
}

QString securePreferences(const QString &directory)
{
    const QString path = directory + QStringLiteral("/preferences.ini");
    QFile file(path);
    if (!file.exists() && !file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return path;
    file.close();
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return path;
}

} // namespace StateDirectory
