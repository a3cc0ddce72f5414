#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

// Reading the master's operator list: records {"name", "pin", "level", "programs"} in table
// order. Levels are read leniently and safely: "operator" in any letter case may command, every
// other value (the editor's "viewer", a typo, nothing) only watches. Pure functions.
class LinkOperators
{
public:
    // "operator" or "viewer".
    static QString normalizedLevel(const QString &level);
    static bool mayCommand(const QJsonObject &record);
    // The first record whose name equals the trimmed name ignoring case; empty when none.
    static QJsonObject record(const QJsonArray &operators, const QString &name);
    // The record's Programs when it may command, else an empty array (an empty list for an
    // operator allows every Program).
    static QJsonArray allowedPrograms(const QJsonObject &record);
    // The refusal text for a command on program, empty when the record allows it.
    static QString refusal(const QJsonObject &record, int program);
};
