#include "platform/media/PlaybackClock.h"

#include <cmath>
#include <ctime>

qint64 PlaybackClock::nowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void PlaybackClock::start(qint64 mediaUs, qint64 wallNs, double rate, bool paused)
{
    m_anchorMediaUs = mediaUs;
    m_anchorWallNs = wallNs;
    m_rate = rate;
    m_paused = paused;
}

void PlaybackClock::pause(qint64 wallNs)
{
    if (m_paused)
        return;
    m_anchorMediaUs = mediaAt(wallNs);
    m_anchorWallNs = wallNs;
    m_paused = true;
}

void PlaybackClock::resume(qint64 wallNs)
{
    if (!m_paused)
        return;
    m_anchorWallNs = wallNs;
    m_paused = false;
}

void PlaybackClock::setRate(qint64 wallNs, double rate)
{
    m_anchorMediaUs = mediaAt(wallNs);
    m_anchorWallNs = wallNs;
    m_rate = rate;
}

void PlaybackClock::rebase(qint64 fromUs, qint64 toUs)
{
    if (!m_paused)
        m_anchorWallNs = wallAt(fromUs);
    m_anchorMediaUs = toUs;
}

qint64 PlaybackClock::mediaAt(qint64 wallNs) const
{
    if (m_paused)
        return m_anchorMediaUs;
    return m_anchorMediaUs + qint64(std::floor(double(wallNs - m_anchorWallNs) * m_rate / 1000.0));
}

qint64 PlaybackClock::wallAt(qint64 mediaUs) const
{
    return m_anchorWallNs + qint64(std::ceil(double(mediaUs - m_anchorMediaUs) * 1000.0 / m_rate));
}
