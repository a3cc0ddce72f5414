#include "outputs/audio/TestBackend.h"

#include <algorithm>

TestBackend::TestBackend(LocalAudioEngine *engine) : m_engine(engine)
{
}

bool TestBackend::open(const QString &device, int bufferFrames, QString *error)
{
    Q_UNUSED(error);
    bool ok = false;
    const int requested = device.trimmed().toInt(&ok, 10);
    m_channels = ok && requested > 0 ? std::clamp(requested, 2, 128) : 8;
    m_bufferFrames = bufferFrames > 0 ? bufferFrames : 128;
    return true;
}

void TestBackend::stop()
{
}

QString TestBackend::description() const
{
    return QStringLiteral("Test (no device)");
}

QJsonObject TestBackend::status() const
{
    return {};
}
