// The Link side of the real main window without a running node: Start Link's refusals, the stored
// role, operator levels as stored, the remote log that cannot be written, the remote desk that is
// rebuilt only when its layout changes, and the armed switch of a synchronized take, which belongs
// to its own request on a real deck.
#include "app/MainWindow.h"
#include "link/LinkNode.h"
#include "link/LinkSyncedTake.h"

#include "UntranslatedTexts.h"
#include "WidgetCapture.h"
#include "app/AppStyle.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScrollArea>
#include <QTabWidget>
#include <QSettings>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QToolButton>
#include <QtTest>

namespace {

QString fixture(const QString &name)
{
    return qEnvironmentVariable("ZELVO_FIXTURES") + QLatin1Char('/') + name;
}

Cue cueOf(const QString &path)
{
    Cue cue;
    cue.source = path;
    cue.out_ms = -1;
    return cue;
}

QJsonObject deskWith(const QJsonArray &items, qint64 positionMs)
{
    const QJsonObject program{{QStringLiteral("id"), 1},
                              {QStringLiteral("name"), QStringLiteral("Palco")},
                              {QStringLiteral("items"), items},
                              {QStringLiteral("current"), 0},
                              {QStringLiteral("media"), QStringLiteral("a.mp4")},
                              {QStringLiteral("playing"), true},
                              {QStringLiteral("positionMs"), double(positionMs)},
                              {QStringLiteral("durationMs"), 10000.0}};
    return {{QStringLiteral("master"), QStringLiteral("stage")},
            {QStringLiteral("programs"), QJsonArray{program}},
            {QStringLiteral("level"), QStringLiteral("operator")},
            {QStringLiteral("allowed"), QJsonArray{}}};
}

} // namespace

class LinkWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { state = std::make_unique<QTemporaryDir>(); }

    void startRefusesShortCodesAndStoresNothing()
    {
        MainWindow window(false, QStringLiteral("en"), state->path());
        auto *code = window.findChild<QLineEdit *>(QStringLiteral("linkCode"));
        QVERIFY(code);
        code->setText(QStringLiteral("  12345  "));
        QVERIFY(!window.startLink());
        QCOMPARE(window.statusText(), QStringLiteral("Enter a Link code with at least 6 characters (the same on every machine)."));
        QVERIFY(!window.preferences()->contains(QStringLiteral("link/code")));
        QCOMPARE(window.link()->mode, int(LinkNode::Stopped));

        // A control station needs its operator and PIN before anything starts.
        window.findChild<QComboBox *>(QStringLiteral("linkRole"))->setCurrentIndex(2);
        code->setText(QStringLiteral("harbour-lights"));
        QVERIFY(!window.startLink());
        QCOMPARE(window.statusText(), QStringLiteral("Enter the operator name and PIN given by the playout machine."));
        QVERIFY(!window.preferences()->contains(QStringLiteral("link/code")));
    }

    void storedRoleIsClamped_data()
    {
        QTest::addColumn<int>("stored");
        QTest::addColumn<int>("shown");
        QTest::newRow("7 is the control station") << 7 << 2;
        QTest::newRow("-1 is the master") << -1 << 0;
        QTest::newRow("1 is the follower") << 1 << 1;
    }

    void storedRoleIsClamped()
    {
        QFETCH(int, stored);
        QFETCH(int, shown);
        {
            QSettings settings(state->filePath(QStringLiteral("preferences.ini")), QSettings::IniFormat);
            settings.setValue(QStringLiteral("link/role"), stored);
        }
        MainWindow window(false, QStringLiteral("en"), state->path());
        auto *role = window.findChild<QComboBox *>(QStringLiteral("linkRole"));
        QCOMPARE(role->currentIndex(), shown);
        // The follower's controls follow the combo while stopped.
        QCOMPARE(window.findChild<QPushButton *>(QStringLiteral("linkLoad"))->isHidden(), shown != 1);
        QCOMPARE(window.findChild<QPushButton *>(QStringLiteral("linkSend"))->isHidden(), shown != 0);
    }

    // A level that is not exactly "operator" never shows as one, so saving never escalates it.
    void operatorLevelsAreReadWithoutEscalation()
    {
        const QJsonArray stored{
            QJsonObject{{"name", "Ana"}, {"pin", "111111"}, {"level", "Viewer"}, {"programs", QJsonArray{}}},
            QJsonObject{{"name", "Bia"}, {"pin", "222222"}, {"level", "admin"}, {"programs", QJsonArray{}}},
            QJsonObject{{"name", "Caio"}, {"pin", "333333"}, {"level", "OPERATOR"}, {"programs", QJsonArray{1}}},
            QJsonObject{{"name", "Dora"}, {"pin", " "}, {"level", "operator"}, {"programs", QJsonArray{}}}};
        {
            QSettings settings(state->filePath(QStringLiteral("preferences.ini")), QSettings::IniFormat);
            settings.setValue(QStringLiteral("link/operators"), QString::fromUtf8(QJsonDocument(stored).toJson(QJsonDocument::Compact)));
        }
        MainWindow window(false, QStringLiteral("en"), state->path());
        auto *table = window.findChild<QTableWidget *>(QStringLiteral("linkOperators"));
        QCOMPARE(table->rowCount(), 4);
        const QJsonArray records = window.operatorsJson();
        QCOMPARE(records.size(), 3); // the blank PIN is neither stored nor known to the node
        QCOMPARE(records[0].toObject().value("level").toString(), QStringLiteral("viewer"));
        QCOMPARE(records[1].toObject().value("level").toString(), QStringLiteral("viewer"));
        QCOMPARE(records[2].toObject().value("level").toString(), QStringLiteral("operator"));
        QCOMPARE(window.link()->operators, records);
        // Each row's Programs button names what the operator may command; an empty list is all of them.
        const auto programsOf = [table](int row) { return qobject_cast<QToolButton *>(table->cellWidget(row, 3))->text(); };
        QCOMPARE(programsOf(0), QStringLiteral("All Programs"));
        QCOMPARE(programsOf(2), QStringLiteral("Program"));
        // The permission box and the Programs button fit inside their row.
        for (int column : {2, 3})
            QVERIFY(table->cellWidget(0, column)->sizeHint().height() <= table->rowHeight(0));

        // Adding an operator numbers it after the rows and stores the list.
        window.findChild<QPushButton *>(QStringLiteral("addOperator"))->click();
        QCOMPARE(table->item(4, 0)->text(), QStringLiteral("Operator 5"));
        QVERIFY(QRegularExpression(QStringLiteral("^[1-9][0-9]{5}$")).match(table->item(4, 1)->text()).hasMatch());
        const QJsonArray saved = QJsonDocument::fromJson(window.preferences()->value(QStringLiteral("link/operators")).toByteArray()).array();
        QCOMPARE(saved.size(), 4);
        QCOMPARE(saved[0].toObject().value("level").toString(), QStringLiteral("viewer"));
        // The PINs sit in the preferences file, which only its owner may read.
        window.preferences()->sync();
        const QFile::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ReadOther
            | QFileDevice::WriteOther;
        QCOMPARE(QFile::permissions(window.preferences()->fileName()) & others, QFile::Permissions());
    }

    void remoteCommandWithUnwritableLogWarns()
    {
        MainWindow window(false, QStringLiteral("en"), state->path());
        QVERIFY(QDir().mkpath(state->filePath(QStringLiteral("link/remote-log.txt"))));
        const QString refusal = window.executeRemoteCommand(
            {{QStringLiteral("action"), QStringLiteral("black")}, {QStringLiteral("program"), 1}}, QStringLiteral("Crew"));
        QCOMPARE(refusal, QString()); // the command itself ran
        QVERIFY2(window.statusText().startsWith(QStringLiteral("The remote log could not be written")), qPrintable(window.statusText()));
        QVERIFY(window.diagnosticsSnapshot().value(QStringLiteral("link_warning")).toString().contains(QStringLiteral("remote log")));

        QVERIFY(QDir(state->filePath(QStringLiteral("link/remote-log.txt"))).removeRecursively());
        QCOMPARE(window.executeRemoteCommand({{QStringLiteral("action"), QStringLiteral("black")}, {QStringLiteral("program"), 1}},
                                             QStringLiteral("Crew")),
                 QString());
        QFile log(state->filePath(QStringLiteral("link/remote-log.txt")));
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d  Remote · Crew: BLACK on "))
                    .match(QString::fromUtf8(log.readAll()))
                    .hasMatch());
        QVERIFY(!window.diagnosticsSnapshot().contains(QStringLiteral("link_warning")));
    }

    void remoteCommandRefusals_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<int>("program");
        QTest::addColumn<int>("row");
        QTest::addColumn<QString>("refusal");
        QTest::newRow("unknown Program") << "black" << 99 << -1 << "Unknown Program";
        QTest::newRow("pause with nothing on air") << "pause" << 1 << -1 << "Nothing on air";
        QTest::newRow("cut of a missing row") << "cut" << 1 << 3 << "Unknown playlist item";
        QTest::newRow("actions are case-sensitive") << "CUT" << 1 << 0 << "Unknown command";
    }

    void remoteCommandRefusals()
    {
        QFETCH(QString, action);
        QFETCH(int, program);
        QFETCH(int, row);
        QFETCH(QString, refusal);
        MainWindow window(false, QStringLiteral("en"), state->path());
        QCOMPARE(window.executeRemoteCommand({{"action", action}, {"program", program}, {"row", row}}, QStringLiteral("Crew")), refusal);
        QVERIFY(!QFile::exists(state->filePath(QStringLiteral("link/remote-log.txt"))));
    }

    void remoteDeskRebuildsOnlyOnLayoutChange()
    {
        MainWindow window(false, QStringLiteral("en"), state->path());
        const QJsonArray items{QStringLiteral("a.mp4"), QStringLiteral("b.mkv")};
        window.applyRemoteDesk(deskWith(items, 1000));
        QList<QListWidget *> lists = window.findChildren<QListWidget *>(QStringLiteral("remoteItems"));
        QCOMPARE(lists.size(), 1);
        QPointer<QListWidget> first = lists.first();
        QCOMPARE(first->count(), 2);
        QCOMPARE(first->item(0)->font().weight(), QFont::Bold);
        window.applyRemoteDesk(deskWith(items, 2000));
        QCOMPARE(window.findChildren<QListWidget *>(QStringLiteral("remoteItems")).first(), first.data());
        window.applyRemoteDesk(deskWith({QStringLiteral("a.mp4")}, 2000));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!first);
        QCOMPARE(window.findChildren<QListWidget *>(QStringLiteral("remoteItems")).first()->count(), 1);
    }

    // The switch belongs to the request it was armed for: a newer preparation on the same deck is
    // never taken on air by it, while its own request switches at its instant.
    void syncedTakeSwitchesOnlyItsOwnRequest()
    {
        QVERIFY2(QFile::exists(fixture(QStringLiteral("03-h264.mkv"))), "ZELVO_FIXTURES must name the generated clips");
        NativeChannel deck(false);
        deck.setAudioEnabled(false);
        QElapsedTimer clock;
        clock.start();
        auto nowUs = [&clock] { return clock.nsecsElapsed() / 1000; };

        deck.prepare(cueOf(fixture(QStringLiteral("01-h264.mp4"))));
        bool taken = false;
        int finished = 0;
        LinkSyncedTake *armed = LinkSyncedTake::schedule(&deck, &deck, nowUs() + 100000, nowUs);
        connect(armed, &LinkSyncedTake::finished, this, [&](bool ok) { taken = ok, ++finished; });
        deck.prepare(cueOf(fixture(QStringLiteral("03-h264.mkv"))));  // another request replaces it
        QTRY_COMPARE_WITH_TIMEOUT(finished, 1, 10000);
        QVERIFY(!taken);
        QTest::qWait(1500);
        QVERIFY2(deck.source().isEmpty(), qPrintable(deck.source()));

        const qint64 atUs = nowUs() + 300000;
        armed = LinkSyncedTake::schedule(&deck, &deck, atUs, nowUs);
        qint64 lateness = -1;
        connect(armed, &LinkSyncedTake::finished, this, [&](bool ok, qint64 late) { taken = ok, lateness = late, ++finished; });
        QTRY_COMPARE_WITH_TIMEOUT(finished, 2, 10000);
        QVERIFY(taken);
        QVERIFY(lateness >= 0);
        QTRY_VERIFY_WITH_TIMEOUT(deck.source().endsWith(QStringLiteral("03-h264.mkv")), 5000);

        // A preparation that never gets ready is given up after the timeout, not taken later.
        deck.prepare(cueOf(fixture(QStringLiteral("no-such-clip.mp4"))));
        armed = LinkSyncedTake::schedule(&deck, &deck, nowUs(), nowUs);
        armed->setPrepareTimeoutForTesting(200);
        taken = true;
        connect(armed, &LinkSyncedTake::finished, this, [&](bool ok) { taken = ok, ++finished; });
        QTRY_COMPARE_WITH_TIMEOUT(finished, 3, 5000);
        QVERIFY(!taken);
        QVERIFY(deck.source().endsWith(QStringLiteral("03-h264.mkv")));
    }

    // The alarm is a mirroring follower's alone, and only once it has a show: silence over 1500 ms
    // or a master never heard raises it; a fresh message lowers it. Playback is not touched.
    void masterLostAlarmOnlyOnAMirroringFollower_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("mirror");
        QTest::addColumn<bool>("received");
        QTest::addColumn<qint64>("silentMs"); // -1: no state or desk message ever came
        QTest::addColumn<bool>("lost");
        QTest::newRow("master") << int(LinkNode::Master) << true << true << qint64(1600) << false;
        QTest::newRow("control station") << int(LinkNode::ControlStation) << true << true << qint64(1600) << false;
        QTest::newRow("mirror box off") << int(LinkNode::Follower) << false << true << qint64(1600) << false;
        QTest::newRow("no show received yet") << int(LinkNode::Follower) << true << false << qint64(1600) << false;
        QTest::newRow("heard 1400 ms ago") << int(LinkNode::Follower) << true << true << qint64(1400) << false;
        QTest::newRow("silent 1600 ms") << int(LinkNode::Follower) << true << true << qint64(1600) << true;
        QTest::newRow("never heard") << int(LinkNode::Follower) << true << true << qint64(-1) << true;
    }

    void masterLostAlarmOnlyOnAMirroringFollower()
    {
        QFETCH(int, mode);
        QFETCH(bool, mirror);
        QFETCH(bool, received);
        QFETCH(qint64, silentMs);
        QFETCH(bool, lost);
        MainWindow window(false, QStringLiteral("en"), state->path());
        LinkNode *node = window.link();
        window.findChild<QCheckBox *>(QStringLiteral("linkMirror"))->setChecked(mirror);
        // The node's clock must be able to read that far back.
        QTest::qWait(int(std::max<qint64>(0, silentMs + 20 - window.link()->clock.elapsed())));
        node->mode = mode;
        node->welcomed = true;
        node->receivedShowPath = received ? state->filePath(QStringLiteral("link-media/Show/Show.zelvoshow")) : QString();
        node->lastMasterMessageMs = silentMs < 0 ? -1 : node->clock.elapsed() - silentMs;
        window.updateMasterLostAlarm();
        QCOMPARE(window.masterLostActive, lost);
        auto *banner = window.findChild<QFrame *>(QStringLiteral("masterLost"));
        QCOMPARE(banner->isHidden(), !lost);
        if (lost) {
            QCOMPARE(window.statusText(), QStringLiteral("MASTER LOST — this machine keeps playing on its own."));
            QVERIFY(banner->findChild<QPushButton *>(QStringLiteral("takeOver")));
            node->lastMasterMessageMs = node->clock.elapsed();
            window.updateMasterLostAlarm();
            QVERIFY(banner->isHidden());
        }
        node->mode = LinkNode::Stopped;
    }

    // A mirroring follower joins the master's media names onto its disk only through the received
    // manifest: a name outside it is a problem, never a path, while a listed name loads the local copy.
    void mirrorLoadsOnlyManifestMedia()
    {
        QVERIFY2(QFile::exists(fixture(QStringLiteral("01-h264.mp4"))), "ZELVO_FIXTURES must name the generated clips");
        MainWindow window(false, QStringLiteral("en"), state->path());
        LinkNode *node = window.link();
        const QString folder = state->filePath(QStringLiteral("link-media/Show"));
        QVERIFY(QDir().mkpath(folder + QStringLiteral("/media")));
        QVERIFY(QFile::copy(fixture(QStringLiteral("01-h264.mp4")), folder + QStringLiteral("/media/01-h264.mp4")));
        // What a name climbing out of the show folder would reach.
        QVERIFY(QFile::copy(fixture(QStringLiteral("01-h264.mp4")), state->filePath(QStringLiteral("link-media/outside.mp4"))));
        Show show = window.currentShow();
        const QString showFile = folder + QStringLiteral("/Show.zelvoshow");
        QFile file(showFile);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QJsonDocument(jsonFromShow(show)).toJson());
        file.close();
        QVERIFY(window.openShowFile(showFile));
        node->mode = LinkNode::Follower;
        node->receivedShow = {{QStringLiteral("name"), QStringLiteral("Show")}};
        node->receivedShowPath = showFile;
        node->receivedRevision = 3;
        node->receivedManifest.insert(QStringLiteral("media/01-h264.mp4"), QStringLiteral("0"));
        window.findChild<QCheckBox *>(QStringLiteral("linkMirror"))->setChecked(true);
        auto stateWith = [](const QString &media, double serial) {
            const QJsonObject cue{{QStringLiteral("source"), media}, {QStringLiteral("in_ms"), 0}, {QStringLiteral("out_ms"), -1},
                                  {QStringLiteral("transition"), 0}, {QStringLiteral("transition_ms"), 0},
                                  {QStringLiteral("enter_ms"), 0}, {QStringLiteral("exit_ms"), 0}};
            const QJsonObject entry{{QStringLiteral("id"), 1}, {QStringLiteral("playing"), true},
                                    {QStringLiteral("pending"), false}, {QStringLiteral("positionMs"), 0},
                                    {QStringLiteral("serial"), serial}, {QStringLiteral("loop"), false},
                                    {QStringLiteral("media"), media}, {QStringLiteral("unpublished"), false},
                                    {QStringLiteral("cue"), cue}};
            return QJsonObject{{QStringLiteral("revision"), 3}, {QStringLiteral("sampleUs"), 0},
                               {QStringLiteral("sync"), false}, {QStringLiteral("programs"), QJsonArray{entry}}};
        };
        NativeChannel *deck = window.channel(0);
        for (const QString &name : {QStringLiteral("media/../../outside.mp4"), QStringLiteral("../outside.mp4"),
                                    state->filePath(QStringLiteral("link-media/outside.mp4"))}) {
            window.applyMirrorState(stateWith(name, 7));
            QCOMPARE(window.mirrorProblem, QStringLiteral("The master plays media that was not sent to this machine."));
            QTest::qWait(300);
            QVERIFY2(deck->source().isEmpty() && !deck->isPreparing(), qPrintable(deck->source()));
        }
        window.applyMirrorState(stateWith(QStringLiteral("media/01-h264.mp4"), 8));
        QVERIFY(window.mirrorProblem.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(QDir::cleanPath(deck->source()), QDir::cleanPath(folder + QStringLiteral("/media/01-h264.mp4")), 10000);
        // A state of another revision is refused until that show is loaded.
        QJsonObject outdated = stateWith(QStringLiteral("media/01-h264.mp4"), 9);
        outdated.insert(QStringLiteral("revision"), 4);
        window.applyMirrorState(outdated);
        QCOMPARE(window.mirrorProblem, QStringLiteral("Load the show received from the master to mirror it."));
        node->mode = LinkNode::Stopped;
    }

    // Captures of the page for each role in both languages; in pt-BR no English is left.
    void capturesInBothLanguages()
    {
        qApp->setStyleSheet(applicationStyleSheet());
        for (const QString &language : {QStringLiteral("en"), QStringLiteral("pt-BR")}) {
            QTemporaryDir dir;
            MainWindow window(false, language, dir.path());
            auto *role = window.findChild<QComboBox *>(QStringLiteral("linkRole"));
            QWidget *page = role;
            while (page && !qobject_cast<QScrollArea *>(page))
                page = page->parentWidget();
            QVERIFY(page);
            for (auto *tabs : window.findChildren<QTabWidget *>())
                if (tabs->indexOf(page) >= 0)
                    window.showOutputsTab(tabs->indexOf(page));
            window.addOperatorRow({{"name", "Rita"}, {"pin", "482913"}, {"level", "operator"}, {"programs", QJsonArray{1}}});
            window.addOperatorRow({{"name", "Lobby"}, {"pin", "551200"}, {"level", "viewer"}, {"programs", QJsonArray{}}});
            window.saveOperators(false);
            window.applyRemoteDesk(deskWith({QStringLiteral("a.mp4"), QStringLiteral("b.mkv")}, 1500));
            window.resize(1280, 900);
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            const char *names[] = {"master", "follower", "station"};
            for (int index = 0; index < 3; ++index) {
                role->setCurrentIndex(index);
                QCoreApplication::processEvents();
                if (language == QStringLiteral("pt-BR")) {
                    const QStringList leftovers = untranslatedTexts(page, languageTable(QStringLiteral("en")),
                                                                    languageTable(QStringLiteral("pt-BR")));
                    QVERIFY2(leftovers.isEmpty(), qPrintable(leftovers.join(QStringLiteral(" | "))));
                }
                const QString build = qEnvironmentVariable("ZELVO_BUILD_DIR");
                if (!build.isEmpty()) {
                    QDir().mkpath(build + QStringLiteral("/captures/link"));
                    QVERIFY(grabWidget(page).save(build + QStringLiteral("/captures/link/link-page-") + QLatin1String(names[index])
                                                  + QLatin1Char('-') + language + QStringLiteral(".png")));
                }
            }
        }
        qApp->setStyleSheet(QString());
    }

private:
    std::unique_ptr<QTemporaryDir> state;
};

QTEST_MAIN(LinkWindowTest)
#include "tst_linkwindow.moc"
