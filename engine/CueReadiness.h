#pragma once

#include "engine/Cue.h"

#include <QElapsedTimer>
#include <QFileSystemWatcher>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVideoFrame>

class MediaPlayer;
class NativeChannel;

// Proves on the muted Preview deck that one Cue can play before the operator may take it: the file
// exists and stays unchanged, the media has a stream, the trim fits, the source seeks to In and, for
// video, the decoded frame at In really arrived: the first frame at or after In - 2 ms, not a later
// one (a source that skipped past In), and before Out. Media that ends before In is refused at once.
// The proof holds only for the exact source and trim verified and only while the Preview still shows
// that very load.
// Everything runs on the GUI thread.
class CueReadiness : public QObject
{
    Q_OBJECT
public:
    enum State { Empty = 0, Preparing = 1, Ready = 2, Error = 3 };

    explicit CueReadiness(NativeChannel *preview, QObject *parent = nullptr);

    void prepare(const Cue &cue);
    void clear();
    bool readyFor(const Cue &cue) const;
    bool recheckMedia();
    bool mediaUnchanged() const;
    QJsonObject snapshot() const;

    int state() const { return m_state; }
    QString error() const { return m_error; }
    const Cue &cue() const { return m_cue; }
    quint64 generation() const { return m_generation; }
    qint64 firstVerifiedVideoPtsUs() const { return m_firstVerifiedVideoPtsUs; }
    qint64 elapsedMs() const { return m_elapsedMs; }
    static QString stateName(int state);

    // Test seams: the verification time limit (20000 ms in production), and a source that the
    // player can seek but that is to be handled as one that cannot (no local file can be opened
    // unseekable while it reports a duration).
    void setTimeoutForTesting(int ms) { m_timeoutMs = ms; }
    void setUnseekableForTesting(bool unseekable) { m_unseekableForTesting = unseekable; }

signals:
    void changed();

private:
    void poll();
    void verifyStep();
    bool issueSeek(const MediaPlayer &player);
    bool videoProvesIn(qint64 durationMs, const MediaPlayer &player);
    bool isLaterFrame(const QVideoFrame &frame, const MediaPlayer &player) const;
    bool endedBeforeIn(const MediaPlayer &player) const;
    void noteFrame(const QVideoFrame &frame);
    void becomeReady();
    void fail(const QString &message);
    void pausePreview();
    void onFileChanged(const QString &path);
    void onPreviewFailed(const QString &message);

    NativeChannel *const m_preview;
    State m_state = Empty;
    Cue m_cue;
    QTimer m_pollTimer;
    QFileSystemWatcher m_watcher;
    QElapsedTimer m_clock;
    quint64 m_generation = 0;
    quint64 m_framesAtSeek = 0;
    qint64 m_fileSize = 0;
    qint64 m_fileModifiedMs = 0;
    qint64 m_firstVerifiedVideoPtsUs = -1;
    qint64 m_elapsedMs = 0;
    bool m_seekIssued = false;
    QVideoFrame m_candidate;  // first published frame at or after In - 2 ms since the seek
    bool m_busy = false;
    QString m_error;
    int m_timeoutMs = 20000;
    bool m_unseekableForTesting = false;
};
