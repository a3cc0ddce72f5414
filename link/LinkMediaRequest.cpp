#include "link/LinkMediaRequest.h"

#include <QList>

LinkMediaRequest::Status LinkMediaRequest::parse(const QByteArray &received, LinkMediaRequest *request)
{
    if (received.size() > maxHeadBytes)
        return TooLarge;
    const qsizetype end = received.indexOf("\r\n\r\n");
    if (end < 0)
        return Incomplete;
    const QList<QByteArray> lines = received.left(end).split('\n');
    const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
    request->method = first.value(0);
    request->path = first.value(1);
    request->proof.clear();
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray &line = lines.at(i);
        const qsizetype colon = line.indexOf(':');
        if (colon < 1)
            continue;
        if (line.left(colon).trimmed().toLower() == "x-zelvo-link-proof")
            request->proof = line.mid(colon + 1).trimmed();
    }
    return Complete;
}
