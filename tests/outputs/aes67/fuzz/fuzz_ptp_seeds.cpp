// Writes seeds for fuzz_ptpmessage: each message type alone, and a stream in which a master is
// announced, followed and measured (the format fuzz_ptpmessage.cpp describes).
#include "outputs/aes67/PtpMessage.h"

#include <QDir>
#include <QFile>

#include <cstdio>

namespace {

PtpMessage fromMaster(quint8 type, quint16 sequence)
{
    PtpMessage m;
    m.messageType = type;
    m.sourcePortIdentity = {0x00, 0x1B, 0x21, 0xFF, 0xFE, 0x00, 0x00, 0x01, 0x00, 0x01};
    m.sequenceId = sequence;
    m.timestampNs = 1'700'000'000'000'000'000 + qint64(sequence) * 125'000'000;
    return m;
}

bool write(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

void record(QByteArray &stream, const PtpMessage &message, bool event, int advanceMs)
{
    const QByteArray bytes = message.encode();
    stream.append(char((advanceMs << 1) | (event ? 1 : 0)));
    stream.append(char(bytes.size()));
    stream.append(bytes);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    if (!dir.mkpath(QStringLiteral(".")))
        return 1;
    PtpMessage announce = fromMaster(PtpMessage::Announce, 0);
    announce.priority1 = 128;
    announce.grandmasterIdentity = {0x00, 0x1B, 0x21, 0xFF, 0xFE, 0x00, 0x00, 0x01};
    PtpMessage sync = fromMaster(PtpMessage::Sync, 0);
    sync.flags = PtpMessage::TwoStepFlag;
    PtpMessage response = fromMaster(PtpMessage::DelayResp, 0);
    response.requestingPortIdentity = {0x02, 0xAA, 0xBB, 0xFF, 0xFE, 0x00, 0x00, 0xAA, 0x00, 0x01};
    bool ok = write(dir.filePath("announce"), announce.encode()) && write(dir.filePath("sync"), sync.encode())
        && write(dir.filePath("follow_up"), fromMaster(PtpMessage::FollowUp, 0).encode())
        && write(dir.filePath("delay_req"), fromMaster(PtpMessage::DelayReq, 0).encode())
        && write(dir.filePath("delay_resp"), response.encode());

    for (int mode = 0; mode < 3; ++mode) {
        QByteArray stream(1, char(mode));
        record(stream, announce, false, 0);
        for (quint16 seq = 0; seq < 12; ++seq) {
            sync.sequenceId = seq;
            record(stream, sync, true, 125);
            record(stream, fromMaster(PtpMessage::FollowUp, seq), false, 0);
            response.sequenceId = seq / 8;
            response.timestampNs = fromMaster(PtpMessage::FollowUp, seq).timestampNs;
            record(stream, response, false, 0);
        }
        PtpMessage request = fromMaster(PtpMessage::DelayReq, 3);
        record(stream, request, true, 1);
        ok = ok && write(dir.filePath(QStringLiteral("stream_mode%1").arg(mode)), stream);
    }
    return ok ? 0 : 1;
}
