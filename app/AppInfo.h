#pragma once

#include <QString>
#include <QUrl>

// Constants of the application that the start-up, the update services and the reports share.
namespace AppInfo {
inline const QString applicationName = QStringLiteral("Zelvo Playout");
inline const QString organizationName = QStringLiteral("Zelvo");
inline const QString version = QStringLiteral("v0.1.0 (build 0001)");
QString sourceCommit();
}
