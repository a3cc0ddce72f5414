#include "selftest/SmokeTest.h"

#include "engine/NativeChannel.h"
#include "selftest/SelfTestReport.h"
#include "selftest/SelfTestWait.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryFile>
#include <QTimer>
#include <QVideoSink>

namespace {

// The smoke run is driven by the event loop: each step is a slot, and the last one writes the
// report and ends the loop with the exit code.
class SmokeRun
{
public:
    SmokeRun(const QString &fixtures, const QString &result) : m_dir(fixtures), m_result(result)
    {
        for (int i = 0; i < 2; ++i) {
            QObject::connect(&m_deckA, &NativeChannel::frameReady, &m_sinks[i], [this, i](const QVideoFrame &frame) {
                if (!frame.isValid())
                    return;
                m_sinks[i].setVideoFrame(frame);
                ++m_mirrorCounts[i];
            });
        }
        m_fixtures = m_dir.entryList({"*.mp4", "*.mkv", "*.avi", "*.mov"}, QDir::Files, QDir::Name);
        m_invalid.setFileTemplate(QDir::tempPath() + "/zelvo-invalid-XXXXXX.mov");
        captureErrorText(&m_deckA, &NativeChannel::failed, &m_error);
        captureErrorText(&m_deckB, &NativeChannel::failed, &m_error);
        m_poll.setInterval(50);
        QObject::connect(&m_poll, &QTimer::timeout, &m_deckA, [this] { poll(); });
    }

    int run()
    {
        if (m_fixtures.isEmpty()) {
            m_report.appendResult(QJsonObject{{"name", "fixtures"}, {"error", "No fixtures"}}, false);
            QTimer::singleShot(0, &m_deckA, [this] { writeReport(); });
        } else {
            m_poll.start();
            QTimer::singleShot(0, &m_deckA, [this] { advance(); });
        }
        return QCoreApplication::exec();
    }

private:
    QString fixturePath(int index) const { return m_dir.absoluteFilePath(m_fixtures[index]); }

    void advance()
    {
        ++m_caseIndex;
        m_error.clear();
        m_caseClock.restart();
        if (m_caseIndex < m_fixtures.size()) {
            m_deckA.load(Cue::forPath(fixturePath(m_caseIndex)), true);
        } else if (m_fixtures.size() >= 2 && !m_pairDone) {
            m_pairDone = true;
            m_deckA.setLooping(true);
            m_deckB.setLooping(true);
            m_deckA.loadPath(fixturePath(0), true);
            m_deckB.loadPath(fixturePath(1), true);
        } else if (m_pairDone) {
            invalidMediaCase();
        } else {
            writeReport();
        }
    }

    bool pairCase() const { return m_caseIndex >= m_fixtures.size(); }

    bool caseReady() const
    {
        const bool aReady = m_deckA.frameCount() > 7 && m_deckA.positionMs() > 250;
        if (pairCase())
            return aReady && m_deckB.frameCount() > 7 && m_deckB.positionMs() > 250;
        return aReady && !(m_deckA.isPreparing() && m_deckA.takeWhenReady());
    }

    void poll()
    {
        const bool ready = caseReady();
        if (!ready && m_error.isEmpty() && m_caseClock.elapsed() < 12000)
            return;
        bool pass = ready && m_error.isEmpty();
        QJsonObject test{{"name", pairCase() ? QStringLiteral("independent_channels_and_mirror") : m_fixtures[m_caseIndex]},
                         {"frames", m_deckA.frameCount()},
                         {"position_ms", QJsonValue(m_deckA.positionMs())},
                         {"duration_ms", QJsonValue(m_deckA.durationMs())},
                         {"elapsed_ms", QJsonValue(m_caseClock.elapsed())},
                         {"error", m_error}};
        if (pairCase()) {
            const bool distinct = m_deckA.source() != m_deckB.source();
            const bool mirrored = m_mirrorCounts[0] > 0 && m_mirrorCounts[0] == m_mirrorCounts[1];
            test.insert("independent_frames", m_deckB.frameCount());
            test.insert("distinct_media", distinct);
            test.insert("mirrored_frames_equal", mirrored);
            pass = pass && distinct && mirrored;
        }
        m_report.appendResult(test, pass);
        advance();
    }

    void invalidMediaCase()
    {
        m_poll.stop();
        const QString noted = m_deckA.source();
        const int notedFrames = m_deckA.frameCount();
        const bool created = m_invalid.open();
        if (created) {
            m_invalid.write("Deliberately invalid synthetic media");
            m_invalid.close();
            m_deckA.loadPath(m_invalid.fileName(), true);
        }
        QTimer::singleShot(900, &m_deckA, [this, noted, notedFrames, created] {
            const bool reported = !m_error.isEmpty();
            const bool preserved = m_deckA.source() == noted;
            const int continued = m_deckA.frameCount() - notedFrames;
            const bool pass = created && reported && preserved && m_deckA.isPlaying() && continued > 0;
            m_report.appendResult(QJsonObject{{"name", "invalid_incoming_preserves_program"},
                                              {"error_reported", reported},
                                              {"program_preserved", preserved},
                                              {"continued_frames", continued},
                                              {"looped_source", m_deckA.looping()},
                                              {"invalid_file_created", created}},
                                  pass);
            writeReport();
        });
    }

    void writeReport()
    {
        m_deckA.clear();
        m_deckB.clear();
        m_report.setDecodeMode();
        QCoreApplication::exit(m_report.write(m_result));
    }

    QDir m_dir;
    QString m_result;
    NativeChannel m_deckA{false};
    NativeChannel m_deckB{false};
    QVideoSink m_sinks[2];
    int m_mirrorCounts[2] = {0, 0};
    QStringList m_fixtures;
    QTemporaryFile m_invalid;
    SelfTestReport m_report{QStringLiteral("Native decoding and timing; not physical output performance")};
    int m_caseIndex = -1;
    bool m_pairDone = false;
    QString m_error;
    QElapsedTimer m_caseClock;
    QTimer m_poll;
};

} // namespace

int runSmoke(const QString &fixtures, const QString &result)
{
    SmokeRun run(fixtures, result);
    return run.run();
}
