#pragma once

#include <QJsonObject>
#include <QString>

// A release description from the update feed that passed every signature and content rule.
struct UpdateManifest
{
    QString version;
    QString sourceCommit;
    QString file;
    QString sha256;
    qint64 size = 0;
    QJsonObject notes;
};
