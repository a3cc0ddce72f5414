#include "outputs/audio/RenderPacing.h"

#include <algorithm>

void RenderPacing::reset()
{
    *this = RenderPacing();
}

qint64 RenderPacing::lateFrames(qint64 nowUs, int frames)
{
    if (!m_started) {
        m_started = true;
        m_originUs = nowUs;
    }
    const qint64 sinceUs = std::max<qint64>(nowUs - m_originUs, 0);
    const qint64 lead = sinceUs * 48 / 1000 - m_renderedFrames;
    const qint64 bucket = sinceUs / bucketUs;
    if (m_renderedFrames == 0) {
        m_bucket = bucket;
        m_currentMin = m_previousMin = lead;
    } else if (bucket == m_bucket) {
        m_currentMin = std::min(m_currentMin, lead);
    } else {
        // A pause of more than a whole bucket leaves nothing to compare with.
        m_previousMin = bucket == m_bucket + 1 ? m_currentMin : lead;
        m_currentMin = lead;
        m_bucket = bucket;
    }
    m_renderedFrames += frames;
    return lead - std::min(m_currentMin, m_previousMin);
}
