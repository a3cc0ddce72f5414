#pragma once

#include <QByteArray>

// The head of one HTTP request to the Link media server: request line and headers up to the blank
// line. parse() reads bytes straight off a socket, so it never reads past them and caps the head
// at 16384 bytes. Only the method, the path and the proof header matter to the server.
struct LinkMediaRequest
{
    enum Status { Incomplete, TooLarge, Complete };
    static constexpr int maxHeadBytes = 16384;

    QByteArray method;
    QByteArray path;
    QByteArray proof;  // "X-Zelvo-Link-Proof", matched ignoring case; the last one counts

    static Status parse(const QByteArray &received, LinkMediaRequest *request);
};
