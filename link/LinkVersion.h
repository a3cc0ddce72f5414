#pragma once

#include <QString>

// The version text Link announces in beacons, "hello" and "auth"; the same text the application
// reports about itself.
namespace LinkVersion {
inline const QString text = QStringLiteral("v0.1.0 (build 0001)");
}
