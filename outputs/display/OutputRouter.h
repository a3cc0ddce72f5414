#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QSharedPointer>
#include <QSize>
#include <QWeakPointer>

class GpuFrameCache;
class NativeChannel;
class QualityFeed;

// The one registry through which output windows obtain their scalers, so that mirrored outputs of
// a Program share one CPU scaling job per physical size and one GPU input conversion. It owns the
// feeds (as children) and holds the GPU caches only weakly: a cache lives as long as some GPU
// output of its Program holds it.
class OutputRouter : public QObject
{
    Q_OBJECT
public:
    explicit OutputRouter(QObject *parent = nullptr);

    QualityFeed *qualityFeed(NativeChannel *source, QSize physicalSize);
    QSharedPointer<GpuFrameCache> gpuFrameCache(NativeChannel *source);
    // Deletes (later) every feed nobody receives frames from any more.
    void pruneQualityFeeds();

private:
    struct FeedEntry
    {
        QPointer<NativeChannel> source;
        QSize physicalSize;
        QPointer<QualityFeed> feed;
    };
    struct CacheEntry
    {
        QPointer<NativeChannel> source;
        QWeakPointer<GpuFrameCache> cache;
    };

    QList<FeedEntry> m_feeds;
    QList<CacheEntry> m_caches;
};
