#include "engine/Cue.h"

#include "engine/ShowJsonNumber.h"

#include <cmath>

namespace {

constexpr qint64 maxCueTimeMs = 604800000; // seven days
constexpr int maxFadeMs = 10000;

bool fadeInRange(int ms)
{
    // Compared unsigned, so every negative length fails as well.
    return static_cast<quint32>(ms) <= static_cast<quint32>(maxFadeMs);
}

// The rules that do not need the media's duration.
QString validateWithoutDuration(const Cue &cue)
{
    if (cue.source.isEmpty())
        return QStringLiteral("Empty media path");
    if (cue.in_ms < 0 || (cue.out_ms != -1 && cue.out_ms <= cue.in_ms))
        return QStringLiteral("In must be before Out");
    return {};
}

QString validateFades(const Cue &cue)
{
    if (!fadeInRange(cue.transition_ms) || !fadeInRange(cue.enter_ms) || !fadeInRange(cue.exit_ms))
        return QStringLiteral("Transition duration must be between 0 and 10 seconds");
    return {};
}

} // namespace

Cue Cue::forPath(const QString &path)
{
    Cue cue;
    cue.source = path;
    return cue;
}

QString Cue::validate(qint64 durationMs) const
{
    QString message = validateWithoutDuration(*this);
    if (!message.isEmpty())
        return message;
    if (durationMs > 0 && (in_ms >= durationMs || out_ms > durationMs))
        return QStringLiteral("Trim exceeds media duration");
    return validateFades(*this);
}

QJsonObject jsonFromCue(const Cue &cue)
{
    return QJsonObject{
        {QStringLiteral("source"), cue.source},
        {QStringLiteral("in_ms"), QJsonValue(cue.in_ms)},
        {QStringLiteral("out_ms"), QJsonValue(cue.out_ms)},
        {QStringLiteral("transition"), cue.transition},
        {QStringLiteral("transition_ms"), cue.transition_ms},
        {QStringLiteral("enter_ms"), cue.enter_ms},
        {QStringLiteral("exit_ms"), cue.exit_ms},
    };
}

bool readCue(const QJsonValue &value, Cue &cue, bool pathOnly)
{
    if (pathOnly) {
        if (!value.isString())
            return false;
        cue = Cue::forPath(value.toString());
        return validateWithoutDuration(cue).isEmpty() && validateFades(cue).isEmpty();
    }
    if (!value.isObject())
        return false;
    const QJsonObject object = value.toObject();
    if (!object.value(QStringLiteral("source")).isString())
        return false;
    qint64 in = 0, out = 0, transitionMs = 0, enter = 0, exit = 0, transition = 0;
    if (!readWholeNumber<qint64>(object.value(QLatin1String("in_ms")), 0, maxCueTimeMs, in)
        || !readWholeNumber<qint64>(object.value(QLatin1String("out_ms")), -1, maxCueTimeMs, out)
        || !readWholeNumber<qint64>(object.value(QLatin1String("transition_ms")), 0, maxFadeMs, transitionMs)
        || !readWholeNumber<qint64>(object.value(QLatin1String("enter_ms")), 0, maxFadeMs, enter)
        || !readWholeNumber<qint64>(object.value(QLatin1String("exit_ms")), 0, maxFadeMs, exit)
        || !readWholeNumber<qint64>(object.value(QLatin1String("transition")), 0, 2, transition))
        return false;
    cue.source = object.value(QStringLiteral("source")).toString();
    cue.in_ms = in;
    cue.out_ms = out;
    cue.transition = int(transition);
    cue.transition_ms = int(transitionMs);
    cue.enter_ms = int(enter);
    cue.exit_ms = int(exit);
    return validateWithoutDuration(cue).isEmpty() && validateFades(cue).isEmpty();
}
