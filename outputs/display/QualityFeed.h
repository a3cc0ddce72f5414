#pragma once

#include <QFutureWatcher>
#include <QImage>
#include <QObject>
#include <QPointer>
#include <QSharedPointer>
#include <QSize>
#include <QVideoFrame>

class LanczosScaler;
class NativeChannel;

// The CPU Lanczos feed of one Program deck at one physical size: it rescales the deck's frames on
// the global thread pool and emits the scaled frames on the GUI thread. One job runs at a time and
// only the newest waiting frame is kept, so a slow scaler drops frames instead of falling behind.
// Frames it cannot scale faithfully are passed through unscaled with a notice.
class QualityFeed : public QObject
{
    Q_OBJECT
public:
    struct Result
    {
        QImage image;
        qint64 sequence = 0;
        qint64 startTime = -1;
        qint64 endTime = -1;
        double streamFrameRate = 0;
        QString subtitleText;
        double elapsedMs = 0;
    };

    QualityFeed(NativeChannel *source, QSize targetSize, QObject *parent);
    ~QualityFeed() override;

    // The frame intake: the deck's frames, and the last published frame on a route change.
    void onFrame(const QVideoFrame &frame);
    // onFrame() with the deck's last published frame.
    void refresh();

    QSize targetSize() const { return m_targetSize; }
    QVideoFrame outputFrame() const { return m_output; }
    QVideoFrame pendingFrame() const { return m_pending; }
    bool isBusy() const { return m_busy; }
    int scaledFrames() const { return m_scaledFrames; }
    int supersededFrames() const { return m_supersededFrames; }
    double lastJobMs() const { return m_lastJobMs; }
    // Whether anything still receives frameReady (a feed without receivers does no work).
    bool hasReceiver() const;

signals:
    void frameReady(const QVideoFrame &frame);
    void warning(const QString &message);

private:
    void start(const QVideoFrame &frame);
    void onJobFinished();
    void passThrough(const QVideoFrame &frame, const QString &notice);

    QPointer<NativeChannel> m_source;
    QSize m_targetSize;
    QSharedPointer<LanczosScaler> m_scaler;
    QFutureWatcher<Result> m_watcher;
    QVideoFrame m_pending;
    QVideoFrame m_output;
    QVideoFrame m_lastInput;
    QString m_lastSource;
    QString m_lastWarning;
    qint64 m_sequence = 0;
    bool m_busy = false;
    bool m_budgetWarned = false;
    int m_scaledFrames = 0;
    int m_supersededFrames = 0;
    double m_lastJobMs = 0;
};
