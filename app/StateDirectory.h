#pragma once

#include <QString>

// The per-installation state directory holds preferences.ini, which keeps access codes and PINs,
// besides recovery copies, downloads and Link media. It is made private to the user: the directory
// 0700 and the preferences file 0600. The preferences file is created empty with those rights
// before QSettings first writes it, because QSettings replaces the file through a temporary copy
// that keeps the rights of the file it replaces. GUI thread (start-up) only.
namespace StateDirectory {

// Creates the directory with its parents when missing and restricts it to the owner. False when it
// cannot be created.
bool prepare(const QString &directory);

// Creates <directory>/preferences.ini when missing and restricts it to the owner; returns its path.
QString securePreferences(const QString &directory);

} // namespace StateDirectory
