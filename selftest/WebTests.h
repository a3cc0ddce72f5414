#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

class QNetworkAccessManager;

// The web monitor test runner (--web-test): the program's own web monitor watched the way the
// served page watches it, but inside the test process: blocking HTTP calls and an in-process
// WebRTC viewer (a second webrtcbin whose H.264 goes through rtph264depay into an app sink) that
// counts what arrives and reads the stream's profile. Returns 0 when every case passed, 2 when one
// failed, 3 when the report cannot be written.
int runWebTests(const QString &fixtures, const QString &result);

// One reply of the blocking HTTP call: status 0 when none arrived within 20 s.
struct WebTestReply
{
    int status = 0;
    QByteArray body;
};

// Sends one request (always with Content-Type application/sdp) and processes events until the
// reply is finished or 20000 ms passed.
WebTestReply webTestHttp(QNetworkAccessManager &manager, const QByteArray &method, const QString &url,
                         const QByteArray &body);

// The NAL unit types of an Annex-B access unit in the order they occur.
QList<int> nalUnitTypes(const QByteArray &accessUnit);
