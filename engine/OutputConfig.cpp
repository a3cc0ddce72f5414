#include "engine/OutputConfig.h"

#include "engine/ShowJsonNumber.h"

#include <QJsonArray>

namespace {

constexpr int maxPrograms = 64;
constexpr int maxDisplays = 128;

} // namespace

QJsonObject jsonFromOutputs(const OutputConfig &outputs)
{
    QJsonArray displays;
    for (int program : outputs.displayPrograms)
        displays.append(QJsonObject{{QStringLiteral("program"), program}});
    return QJsonObject{
        {QStringLiteral("programs"), outputs.programs},
        {QStringLiteral("displays"), displays},
    };
}

bool readOutputs(const QJsonValue &value, OutputConfig &outputs)
{
    if (!value.isObject())
        return false;
    const QJsonObject object = value.toObject();
    int programs = 0;
    const QJsonValue displaysValue = object.value(QStringLiteral("displays"));
    if (!readWholeNumber(object.value(QStringLiteral("programs")), 1, maxPrograms, programs)
        || !displaysValue.isArray())
        return false;
    const QJsonArray displays = displaysValue.toArray();
    if (displays.isEmpty() || displays.size() > maxDisplays)
        return false;

    QList<int> displayPrograms;
    displayPrograms.reserve(displays.size());
    for (const QJsonValue &display : displays) {
        int program = 0;
        if (!display.isObject()
            || !readWholeNumber(display.toObject().value(QStringLiteral("program")), 0, programs - 1, program))
            return false;
        displayPrograms.append(program);
    }
    outputs.programs = programs;
    outputs.displays = int(displays.size());
    outputs.displayPrograms = displayPrograms;
    return true;
}
