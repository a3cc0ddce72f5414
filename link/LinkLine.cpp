#include "link/LinkLine.h"

#include <QJsonDocument>
#include <QJsonValue>

#include <cmath>

namespace {

// Whole numbers above 2^53 cannot all be told apart in a JSON double, so they are not accepted.
constexpr double maxSeq = 9007199254740992.0;

quint64 sequenceFrom(const QJsonValue &value)
{
    if (!value.isDouble())
        return 0;
    const double number = value.toDouble();
    if (!(number >= 1.0 && number <= maxSeq) || std::floor(number) != number)
        return 0;
    return quint64(number);
}

} // namespace

LinkLine LinkLine::parse(const QByteArray &line)
{
    LinkLine parsed;
    const QJsonObject object = QJsonDocument::fromJson(line).object();
    parsed.type = object.value(QLatin1String("type")).toString();
    parsed.seq = sequenceFrom(object.value(QLatin1String("seq")));
    parsed.body = object.value(QLatin1String("body")).toObject();
    parsed.mac = object.value(QLatin1String("mac")).toString().toLatin1();
    return parsed;
}

QByteArray LinkLine::encode() const
{
    const QJsonObject object{{QStringLiteral("type"), type},
                             {QStringLiteral("seq"), double(seq)},
                             {QStringLiteral("body"), body},
                             {QStringLiteral("mac"), QString::fromLatin1(mac)}};
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

QByteArray LinkLine::signedText(const QByteArray &masterNonce, const QByteArray &clientNonce, Direction direction,
                                quint64 seq, const QString &type, const QJsonObject &body)
{
    const QByteArray way = direction == ToClient ? QByteArrayLiteral("to-client") : QByteArrayLiteral("to-master");
    return masterNonce + '|' + clientNonce + '|' + way + '|' + QByteArray::number(seq) + '|' + type.toUtf8() + '|'
        + QJsonDocument(body).toJson(QJsonDocument::Compact);
}

bool LinkLine::isNonce(const QByteArray &text)
{
    if (text.size() != 32)
        return false;
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}
