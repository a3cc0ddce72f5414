#include "outputs/display/OutputRouter.h"

#include "engine/NativeChannel.h"
#include "outputs/display/GpuFrameCache.h"
#include "outputs/display/QualityFeed.h"

OutputRouter::OutputRouter(QObject *parent) : QObject(parent) {}

QualityFeed *OutputRouter::qualityFeed(NativeChannel *source, QSize physicalSize)
{
    for (const FeedEntry &entry : std::as_const(m_feeds)) {
        if (entry.source && entry.source == source && entry.physicalSize == physicalSize && entry.feed)
            return entry.feed;
    }
    auto *feed = new QualityFeed(source, physicalSize, this);
    m_feeds.append({source, physicalSize, feed});
    return feed;
}

void OutputRouter::pruneQualityFeeds()
{
    for (qsizetype i = m_feeds.size() - 1; i >= 0; --i) {
        QualityFeed *feed = m_feeds.at(i).feed;
        if (feed && feed->hasReceiver())
            continue;
        if (feed)
            feed->deleteLater();
        m_feeds.removeAt(i);
    }
}

QSharedPointer<GpuFrameCache> OutputRouter::gpuFrameCache(NativeChannel *source)
{
    for (qsizetype i = m_caches.size() - 1; i >= 0; --i) {
        if (!m_caches.at(i).source || !m_caches.at(i).cache.toStrongRef())
            m_caches.removeAt(i);
    }
    for (const CacheEntry &entry : std::as_const(m_caches)) {
        if (entry.source == source)
            return entry.cache.toStrongRef();
    }
    QSharedPointer<GpuFrameCache> cache(new GpuFrameCache(source, nullptr));
    m_caches.append({source, cache});
    return cache;
}
