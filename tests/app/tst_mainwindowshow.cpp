#include "app/MainWindow.h"
#include "engine/MediaRelink.h"
#include "engine/RecoveryStore.h"
#include "engine/ShowFile.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>
#include <QTimer>

#include <functional>
#include <optional>

namespace {

const QString version = QStringLiteral("v0.1.0 (build 0001)");

QString fixture(const QString &name)
{
    return QDir(qEnvironmentVariable("ZELVO_FIXTURES")).filePath(name);
}

Show showOf(const QStringList &media)
{
    Show show;
    show.library = media;
    QList<Cue> playlist;
    for (const QString &path : media)
        playlist.append(Cue::forPath(path));
    show.programs = {ShowProgram{1, QStringLiteral("Program A"), playlist}};
    show.playlist = playlist;
    return show;
}

QStringList setAside(const QString &stateDir)
{
    return QDir(stateDir + QStringLiteral("/recovery"))
        .entryList({QStringLiteral("discarded-*.zelvoshow")}, QDir::Files, QDir::Name);
}

QString heading(MainWindow &window)
{
    auto *label = window.findChild<QLabel *>(QStringLiteral("heading"));
    return label ? label->text() : QStringLiteral("<no heading>");
}

// A copy as a crashed run leaves it: the show bytes and the metadata naming where it came from.
void leaveCopy(const QString &stateDir, const Show &show, const QString &originalPath)
{
    RecoveryStore crashed(stateDir);
    QVERIFY(crashed.write(showDocumentBytes(show), originalPath, version));
}

// Answers the window's modal dialogs as an operator would: a folder dialog with folder, a message
// box with its default button after noting its text. Runs until destroyed.
class DialogAnswerer
{
public:
    explicit DialogAnswerer(const QString &folder, std::function<void()> afterFolder = {})
    {
        QObject::connect(&m_timer, &QTimer::timeout, [this, folder, afterFolder] {
            QWidget *modal = QApplication::activeModalWidget();
            if (auto *dialog = qobject_cast<QFileDialog *>(modal)) {
                // A folder for folder dialogs; for file dialogs the path names the file.
                if (dialog->fileMode() == QFileDialog::Directory) {
                    dialog->setDirectory(folder);
                } else if (auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))) {
                    dialog->setDirectory(QFileInfo(folder).absolutePath());
                    name->setText(QFileInfo(folder).fileName());
                }
                QMetaObject::invokeMethod(dialog, "accept");
                if (afterFolder)
                    afterFolder();
            } else if (auto *box = qobject_cast<QMessageBox *>(modal)) {
                texts.append(box->text());
                box->defaultButton() ? box->defaultButton()->click() : box->accept();
            }
        });
        m_timer.start(20);
    }
    QStringList texts;

private:
    QTimer m_timer;
};

// Holds the global pool's only thread until released, so that the window's background work waits
// while the test changes the show. Nothing may paint meanwhile: Qt's raster engine draws on the
// same pool.
class PoolGate
{
public:
    PoolGate()
        : m_threads(QThreadPool::globalInstance()->maxThreadCount())
    {
        QThreadPool::globalInstance()->setMaxThreadCount(1);
        QThreadPool::globalInstance()->start([this] { m_gate.acquire(); });
    }
    ~PoolGate()
    {
        release();
        QThreadPool::globalInstance()->waitForDone();
        QThreadPool::globalInstance()->setMaxThreadCount(m_threads);
    }
    void release()
    {
        if (!m_released)
            m_gate.release();
        m_released = true;
    }

private:
    QSemaphore m_gate;
    int m_threads;
    bool m_released = false;
};

} // namespace

class TestMainWindowShow : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void autosaveOncePerChangeAndClearedBySave();
    void restoreTitledAndUntitled_data();
    void restoreTitledAndUntitled();
    void declinedCopyIsSetAside();
    void leftoverIsOfferedAfterAShowOpens();
    void nonInteractiveExportReportsWhatIsMissing();
    void relinksReachEveryProgram();
    void exportKeepsTheShowItWasMadeFor();
    void relinkKeepsTheShowItWasMadeFor();
    void interactiveExportAndRelinkReport();
    void appliedCueIsStored();
    void openAndSaveThroughDialogs();
    void longNotIncludedListIsCut();
    void folderScanAddsMediaAndRefusesASecond();

private:
    std::unique_ptr<QTemporaryDir> m_temp;
    QString m_state;
    QString m_showFile;
    QStringList m_media;
};

void TestMainWindowShow::init()
{
    m_temp = std::make_unique<QTemporaryDir>();
    m_state = m_temp->filePath(QStringLiteral("state"));
    m_media = {fixture(QStringLiteral("card_red.mp4")), fixture(QStringLiteral("card_blue.mp4"))};
    for (const QString &path : m_media)
        QVERIFY2(QFile::exists(path), qPrintable(path));
    m_showFile = m_temp->filePath(QStringLiteral("shows/Gala.zelvoshow"));
    QDir().mkpath(QFileInfo(m_showFile).absolutePath());
    QVERIFY(writeShowFile(showOf({m_media.first()}), m_showFile));
    qunsetenv("ZELVO_TEST_RECOVERY_ANSWER");
}

void TestMainWindowShow::cleanup()
{
    qunsetenv("ZELVO_TEST_RECOVERY_ANSWER");
}

void TestMainWindowShow::autosaveOncePerChangeAndClearedBySave()
{
    MainWindow window(false, QStringLiteral("en"), m_state);
    QVERIFY(window.openShowFile(m_showFile));
    QVERIFY(!window.isModified());
    QVERIFY(!window.autosave());
    QVERIFY(!QFile::exists(window.recoveryShowPath()));

    window.addMedia({m_media.last()});
    QVERIFY(window.isModified());
    QVERIFY(window.autosave());
    QVERIFY(!window.autosave());
    RecoveryStore::Copy copy;
    QVERIFY(RecoveryStore(m_state).read(copy));
    QCOMPARE(copy.show.library, m_media);
    QCOMPARE(copy.originalPath, m_showFile);

    QVERIFY(window.saveShow(false));
    QVERIFY(!QFile::exists(window.recoveryShowPath()));
    QVERIFY(!QFile::exists(window.recoveryMetaPath()));
    QVERIFY(!window.autosave());

    window.setModified(true);
    QVERIFY(window.autosave());
    QVERIFY(QFile::exists(window.recoveryShowPath()));
    QVERIFY(QFile::exists(window.recoveryMetaPath()));
    QVERIFY(setAside(m_state).isEmpty());
}

void TestMainWindowShow::restoreTitledAndUntitled_data()
{
    QTest::addColumn<bool>("titled");
    QTest::newRow("titled") << true;
    QTest::newRow("untitled") << false;
}

void TestMainWindowShow::restoreTitledAndUntitled()
{
    QFETCH(bool, titled);
    const QString original = titled ? m_showFile : QString();
    leaveCopy(m_state, showOf(m_media), original);

    MainWindow window(false, QStringLiteral("en"), m_state);
    QVERIFY(window.restoreRecovery());
    QCOMPARE(window.mediaLibrary(), m_media);
    QCOMPARE(window.currentShowPath(), original);
    QVERIFY(window.isModified());
    QCOMPARE(heading(window), titled ? QStringLiteral("Gala") : QStringLiteral("Untitled show"));
    QCOMPARE(window.statusText(), QStringLiteral("Show recovered. Save it to keep the changes."));
    // The next tick writes a fresh copy of the restored show.
    QVERIFY(window.autosave());
}

void TestMainWindowShow::declinedCopyIsSetAside()
{
    leaveCopy(m_state, showOf(m_media), m_showFile);
    qputenv("ZELVO_TEST_RECOVERY_ANSWER", "no");
    MainWindow window(false, QStringLiteral("en"), m_state);
    window.offerRecovery();
    QVERIFY(window.mediaLibrary().isEmpty());
    QCOMPARE(setAside(m_state).size(), 1);
    QVERIFY(!QFile::exists(window.recoveryShowPath()));
    QVERIFY(!QFile::exists(window.recoveryMetaPath()));
    // Offered once: a second call asks nothing and changes nothing.
    window.offerRecovery();
    QCOMPARE(setAside(m_state).size(), 1);
}

void TestMainWindowShow::leftoverIsOfferedAfterAShowOpens()
{
    leaveCopy(m_state, showOf(m_media), m_showFile);
    qputenv("ZELVO_TEST_RECOVERY_ANSWER", "yes");
    MainWindow window(false, QStringLiteral("en"), m_state);
    QVERIFY(window.openShowFile(m_showFile));
    QCOMPARE(window.mediaLibrary(), QStringList({m_media.first()}));
    QTRY_COMPARE(window.mediaLibrary(), m_media);
    QVERIFY(window.isModified());
    QCOMPARE(window.currentShowPath(), m_showFile);
    QVERIFY(setAside(m_state).isEmpty());
}

void TestMainWindowShow::nonInteractiveExportReportsWhatIsMissing()
{
    const QString missing = m_temp->filePath(QStringLiteral("gone/lost.mov"));
    QVERIFY(writeShowFile(showOf({m_media.first(), missing}), m_showFile));
    MainWindow window(false, QStringLiteral("en"), m_state);
    QVERIFY(window.openShowFile(m_showFile));
    QStringList notIncluded{QStringLiteral("stale")};
    const QString target = m_temp->filePath(QStringLiteral("packages/Gala"));
    const QString written = window.exportPackage(target, QStringLiteral("Gala"), false, &notIncluded);
    QCOMPARE(written, target + QStringLiteral("/Gala.zelvoshow"));
    QCOMPARE(notIncluded, QStringList({missing}));
    Show read;
    QCOMPARE(readShowFile(written, read), ShowFileRead::Ok);
    QCOMPARE(read.library, QStringList({target + QStringLiteral("/media/card_red.mp4"), missing}));
}

void TestMainWindowShow::relinksReachEveryProgram()
{
    const QString lost = QStringLiteral("/old/place/card_red.mp4");
    QVERIFY(writeShowFile(showOf({lost, m_media.last()}), m_showFile));
    MainWindow window(false, QStringLiteral("en"), m_state);
    QVERIFY(window.openShowFile(m_showFile));
    QCOMPARE(window.missingMedia(), QStringList({lost}));
    QCOMPARE(window.applyRelinks({}), 0);
    QVERIFY(!window.isModified());
    QCOMPARE(window.applyRelinks({{lost, m_media.first()}}), 2);
    QVERIFY(window.missingMedia().isEmpty());
    QCOMPARE(window.workingPlaylist().first().source, m_media.first());
    QCOMPARE(window.programList().first().playlist.first().source, m_media.first());
    QVERIFY(window.isModified());
}

void TestMainWindowShow::exportKeepsTheShowItWasMadeFor()
{
    const QString otherShow = m_temp->filePath(QStringLiteral("shows/Other.zelvoshow"));
    QVERIFY(writeShowFile(showOf({m_media.last()}), otherShow));
    MainWindow window(false, QStringLiteral("en"), m_state);
    QVERIFY(window.openShowFile(m_showFile));

    // While the copy waits, Link or a remote command opens another show.
    PoolGate gate;
    QTimer::singleShot(50, &window, [&] {
        QVERIFY(window.openShowFile(otherShow));
        gate.release();
    });
    const QString target = m_temp->filePath(QStringLiteral("packages/Gala"));
    const QString written = window.exportPackage(target, QStringLiteral("Gala"), false);
    QCOMPARE(window.currentShowPath(), otherShow);
    Show read;
    QCOMPARE(readShowFile(written, read), ShowFileRead::Ok);
    QCOMPARE(read.library, QStringList({target + QStringLiteral("/media/card_red.mp4")}));
    QCOMPARE(read.programs.first().playlist.first().source, read.library.first());
}

void TestMainWindowShow::relinkKeepsTheShowItWasMadeFor()
{
    const QString lost = QStringLiteral("/old/place/card_red.mp4");
    QVERIFY(writeShowFile(showOf({lost}), m_showFile));
    // The other show misses the same path, so a map applied to it would change it.
    const QString otherShow = m_temp->filePath(QStringLiteral("shows/Other.zelvoshow"));
    QVERIFY(writeShowFile(showOf({lost, m_media.last()}), otherShow));
    const QString found = m_temp->filePath(QStringLiteral("found"));
    QVERIFY(QDir().mkpath(found + QStringLiteral("/place")));
    QVERIFY(QFile::copy(m_media.first(), found + QStringLiteral("/place/card_red.mp4")));
    QCOMPARE(matchMissingMedia({lost}, found).size(), 1);
    MainWindow window(false, QStringLiteral("en"), m_state);
    QVERIFY(window.openShowFile(m_showFile));

    // The gate closes once the folder is chosen: the dialogs paint through the pool too.
    std::optional<PoolGate> gate;
    DialogAnswerer answerer(found, [&] {
        gate.emplace();
        QTimer::singleShot(50, &window, [&] {
            QVERIFY(window.openShowFile(otherShow));
            gate->release();
        });
    });
    window.relinkMedia();
    QCOMPARE(window.currentShowPath(), otherShow);
    QCOMPARE(window.mediaLibrary(), QStringList({lost, m_media.last()}));
    QCOMPARE(window.programList().first().playlist.first().source, lost);
    QVERIFY(!window.isModified());
    QCOMPARE(window.statusText(), QStringLiteral("Another show was opened during the search; nothing was relinked."));
}

void TestMainWindowShow::interactiveExportAndRelinkReport()
{
    const QString lost = QStringLiteral("/old/place/card_red.mp4");
    const QString gone = m_temp->filePath(QStringLiteral("gone/lost.mov"));
    QVERIFY(writeShowFile(showOf({lost, gone, m_media.last()}), m_showFile));
    const QString found = m_temp->filePath(QStringLiteral("found"));
    QVERIFY(QDir().mkpath(found + QStringLiteral("/place")));
    QVERIFY(QFile::copy(m_media.first(), found + QStringLiteral("/place/card_red.mp4")));
    MainWindow window(false, QStringLiteral("en"), m_state);
    QVERIFY(window.openShowFile(m_showFile));

    {
        DialogAnswerer answerer(found);
        window.relinkMedia();
        QCOMPARE(answerer.texts.size(), 1);
        QCOMPARE(answerer.texts.first(), QStringLiteral("Relinked 1 of 2 media files.\n\nStill missing:\nlost.mov"));
    }
    QCOMPARE(window.statusText(), QStringLiteral("Relinked 1 of 2 media files."));
    QCOMPARE(window.mediaLibrary().first(), found + QStringLiteral("/place/card_red.mp4"));

    const QString parent = m_temp->filePath(QStringLiteral("packages"));
    QVERIFY(QDir().mkpath(parent + QStringLiteral("/Gala")));
    DialogAnswerer exportAnswerer(parent);
    window.exportShowPackage();
    QCOMPARE(exportAnswerer.texts.size(), 1);
    QCOMPARE(exportAnswerer.texts.first(),
             QStringLiteral("Show package exported: 2 media files copied to %1.\n\nNot included (missing or unreadable):\nlost.mov")
                 .arg(parent + QStringLiteral("/Gala (2)")));
    QCOMPARE(window.statusText(), QStringLiteral("Show package exported"));
    QVERIFY(QFile::exists(parent + QStringLiteral("/Gala (2)/Gala.zelvoshow")));
}

void TestMainWindowShow::appliedCueIsStored()
{
    MainWindow window(false, QStringLiteral("en"), m_state);
    QVERIFY(window.openShowFile(m_showFile));
    QVERIFY(!window.applyEditedCue());   // no row in the editor yet
    window.loadCueEditor(0);
    QCOMPARE(window.editorRow(), 0);
    QVERIFY(window.applyEditedCue());
    QCOMPARE(window.editorState(), QStringLiteral("Cue applied"));
    QCOMPARE(window.statusText(), QStringLiteral("Cue saved. Changes apply on the next TAKE."));
    QVERIFY(window.isModified());
}

void TestMainWindowShow::openAndSaveThroughDialogs()
{
    MainWindow window(false, QStringLiteral("en"), m_state);
    window.addMedia({m_media.first()});
    QVERIFY(window.isModified());
    QVERIFY(window.autosave());

    // An untitled show asks for a name; the suffix is added.
    const QString named = m_temp->filePath(QStringLiteral("shows/Premiere"));
    {
        DialogAnswerer answerer(named);
        QVERIFY(window.saveShow(false));
    }
    QCOMPARE(window.currentShowPath(), named + QStringLiteral(".zelvoshow"));
    QCOMPARE(heading(window), QStringLiteral("Premiere"));
    QCOMPARE(window.statusText(), QStringLiteral("Show saved"));
    QVERIFY(!window.isModified());
    QVERIFY(!QFile::exists(window.recoveryShowPath()));

    // Unsaved changes: the question's default is No, and No changes nothing.
    window.addMedia({m_media.last()});
    QVERIFY(window.autosave());
    {
        DialogAnswerer answerer(m_showFile);
        QVERIFY(!window.openShow());
        QCOMPARE(answerer.texts, QStringList({QStringLiteral("Open another show without saving?")}));
    }
    QVERIFY(window.isModified());
    QCOMPARE(window.mediaLibrary(), m_media);

    // A save that cannot be written says so and keeps the path, the flag and the recovery copy.
    const QString folder = QFileInfo(named).absolutePath();
    QVERIFY(QDir().rename(folder, folder + QStringLiteral("-moved")));
    QFile blocker(folder);
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    QVERIFY(!window.saveShow(false));
    QCOMPARE(window.statusText(), QStringLiteral("Could not save show"));
    QCOMPARE(window.currentShowPath(), named + QStringLiteral(".zelvoshow"));
    QVERIFY(window.isModified());
    QVERIFY(QFile::exists(window.recoveryShowPath()));

    // A broken show file is refused with its message and leaves the show as it was.
    window.setModified(false);
    const QString broken = m_temp->filePath(QStringLiteral("Broken.zelvoshow"));
    QFile file(broken);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("{\"schema\": 4, \"library\": [");
    file.close();
    {
        DialogAnswerer answerer(broken);
        QVERIFY(!window.openShow());
    }
    QCOMPARE(window.statusText(), QStringLiteral("Invalid show file"));
    QCOMPARE(window.mediaLibrary(), m_media);
}

void TestMainWindowShow::longNotIncludedListIsCut()
{
    QStringList media{m_media.first()};
    for (int i = 1; i <= 13; ++i)
        media.append(m_temp->filePath(QStringLiteral("gone/lost-%1.mov").arg(i, 2, 10, QLatin1Char('0'))));
    QVERIFY(writeShowFile(showOf(media), m_showFile));
    MainWindow window(false, QStringLiteral("en"), m_state);
    QVERIFY(window.openShowFile(m_showFile));
    const QString parent = m_temp->filePath(QStringLiteral("packages"));
    QVERIFY(QDir().mkpath(parent));
    DialogAnswerer answerer(parent);
    window.exportShowPackage();
    QCOMPARE(answerer.texts.size(), 1);
    QStringList names;
    for (int i = 1; i <= 12; ++i)
        names.append(QStringLiteral("lost-%1.mov").arg(i, 2, 10, QLatin1Char('0')));
    QVERIFY2(answerer.texts.first().endsWith(QStringLiteral("Not included (missing or unreadable):\n") + names.join('\n')
                                             + QStringLiteral("\n…")),
             qPrintable(answerer.texts.first()));
}

void TestMainWindowShow::folderScanAddsMediaAndRefusesASecond()
{
    const QString folder = m_temp->filePath(QStringLiteral("scan"));
    QVERIFY(QDir().mkpath(folder + QStringLiteral("/sub")));
    QVERIFY(QFile::copy(m_media.first(), folder + QStringLiteral("/B.MP4")));
    QVERIFY(QFile::copy(m_media.last(), folder + QStringLiteral("/sub/a.mp4")));
    QFile notes(folder + QStringLiteral("/notes.txt"));
    QVERIFY(notes.open(QIODevice::WriteOnly));
    notes.close();

    MainWindow window(false, QStringLiteral("en"), m_state);
    window.setFolderScanTargetForTesting(1, true);
    window.scanFolder(folder);
    QCOMPARE(window.statusText(), QStringLiteral("A folder scan is already running."));
    QVERIFY(window.mediaFolders().isEmpty());
    window.setFolderScanTargetForTesting(1, false);

    window.scanFolder(folder);
    QCOMPARE(window.mediaFolders(), QStringList({folder}));
    QTRY_COMPARE(window.statusText(), QStringLiteral("Folder scan complete"));
    QCOMPARE(window.mediaLibrary(), QStringList({folder + QStringLiteral("/B.MP4"), folder + QStringLiteral("/sub/a.mp4")}));
    QCOMPARE(window.workingPlaylist().size(), 2);
    window.scanFolder(folder);
    QCOMPARE(window.mediaFolders(), QStringList({folder}));
}

QTEST_MAIN(TestMainWindowShow)
#include "tst_mainwindowshow.moc"
