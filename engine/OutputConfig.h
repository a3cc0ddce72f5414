#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QList>

// A show's output layout: how many Programs it has and which Program each display route shows.
struct OutputConfig
{
    int programs = 1;                   // 1..64
    int displays = 1;                   // 1..128
    QList<int> displayPrograms = {0};   // per display route: the Program's position, not its id

    bool operator==(const OutputConfig &other) const = default;
};

QJsonObject jsonFromOutputs(const OutputConfig &outputs);

// Fills outputs and returns true, or returns false and leaves outputs untouched.
bool readOutputs(const QJsonValue &value, OutputConfig &outputs);
