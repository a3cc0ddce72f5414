#include "link/LinkOperators.h"

QString LinkOperators::normalizedLevel(const QString &level)
{
    return level.trimmed().compare(QLatin1String("operator"), Qt::CaseInsensitive) == 0 ? QStringLiteral("operator")
                                                                                         : QStringLiteral("viewer");
}

bool LinkOperators::mayCommand(const QJsonObject &record)
{
    return !record.isEmpty() && normalizedLevel(record.value(QLatin1String("level")).toString()) == QLatin1String("operator");
}

QJsonObject LinkOperators::record(const QJsonArray &operators, const QString &name)
{
    const QString wanted = name.trimmed();
    if (wanted.isEmpty())
        return {};
    for (const QJsonValue &value : operators) {
        const QJsonObject candidate = value.toObject();
        if (candidate.value(QLatin1String("name")).toString().compare(wanted, Qt::CaseInsensitive) == 0)
            return candidate;
    }
    return {};
}

QJsonArray LinkOperators::allowedPrograms(const QJsonObject &record)
{
    return mayCommand(record) ? record.value(QLatin1String("programs")).toArray() : QJsonArray();
}

QString LinkOperators::refusal(const QJsonObject &record, int program)
{
    if (!mayCommand(record))
        return QStringLiteral("Not allowed: view only");
    const QJsonArray allowed = allowedPrograms(record);
    if (!allowed.isEmpty() && !allowed.contains(QJsonValue(program)))
        return QStringLiteral("Not allowed: Program not assigned to this operator");
    return {};
}
