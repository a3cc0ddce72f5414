// The Web monitor tab in the real window: its stored preferences, starting and stopping the server
// from its buttons, the access code and URLs it shows checked against the server over a real socket,
// a renewed code, a port in use, the live quality, sample content mode, the LAN mode (inside a
// private network namespace only) and captures in both languages.
#include "app/AppStyle.h"
#include "app/MainWindow.h"
#include "web/WebMonitorServer.h"

#include "UntranslatedTexts.h"
#include "WidgetCapture.h"

#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QTabWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

namespace {

struct Reply
{
    int status = 0;
    QByteArray body;
};

// One request over a fresh connection, read until the server closes it; status 0 when nothing
// answered. The server lives on this thread, so the wait keeps the event loop running.
Reply httpGet(const QString &host, quint16 port, const QByteArray &target)
{
    QTcpSocket socket;
    QByteArray data;
    bool closed = false;
    QObject::connect(&socket, &QTcpSocket::connected, &socket, [&] {
        socket.write("GET " + target + " HTTP/1.1\r\nHost: " + host.toLatin1() + "\r\nConnection: close\r\n\r\n");
    });
    QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [&] { data += socket.readAll(); });
    QObject::connect(&socket, &QTcpSocket::disconnected, &socket, [&] { closed = true; });
    QObject::connect(&socket, &QTcpSocket::errorOccurred, &socket, [&] { closed = true; });
    socket.connectToHost(host, port);
    QElapsedTimer timer;
    timer.start();
    while (!closed && timer.elapsed() < 5000)
        QTest::qWait(10);
    data += socket.readAll();
    Reply reply;
    const int space = data.indexOf(' ');
    reply.status = space < 0 ? 0 : data.mid(space + 1, 3).toInt();
    const int bodyAt = data.indexOf("\r\n\r\n");
    reply.body = bodyAt < 0 ? QByteArray() : data.mid(bodyAt + 4);
    return reply;
}

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// Catches what Open in browser hands to the system browser.
class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl &url) { opened << url; }
};

// Text of every label below the page (status, code, URLs), for the checks of the visible state.
QLabel *labelNamed(QWidget *page, const QString &name)
{
    return page->findChild<QLabel *>(name);
}

} // namespace

class WebMonitorPageTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> state;

    QSettings preferences() const
    {
        return QSettings(state->path() + QStringLiteral("/preferences.ini"), QSettings::IniFormat);
    }

    // The tab's page in the window's Outputs page.
    static QWidget *webTab(MainWindow &window)
    {
        for (auto *tabs : window.findChildren<QTabWidget *>())
            for (int i = 0; i < tabs->count(); ++i)
                if (tabs->widget(i)->findChild<QPushButton *>(QStringLiteral("webStart")))
                    return tabs->widget(i);
        return nullptr;
    }

    static QPushButton *buttonWithText(QWidget *page, const QString &text)
    {
        for (auto *candidate : page->findChildren<QPushButton *>())
            if (candidate->text() == text)
                return candidate;
        return nullptr;
    }

    static QString statusOf(QWidget *page)
    {
        for (auto *label : page->findChildren<QLabel *>(QStringLiteral("muted")))
            if (label->text().startsWith(QStringLiteral("Running")) || label->text().startsWith(QStringLiteral("Stopped"))
                || label->text().startsWith(QStringLiteral("Web monitor could not start")))
                return label->text();
        return QString();
    }

private slots:
    void init()
    {
        state = std::make_unique<QTemporaryDir>();
    }

    void firstRunMakesAndStoresACodeAndStaysStopped()
    {
        MainWindow window(false, QStringLiteral("en"), state->path());
        QWidget *page = webTab(window);
        QVERIFY(page);
        const QString code = preferences().value(QStringLiteral("webMonitorCode")).toString();
        QCOMPARE(code.size(), 8);
        QCOMPARE(labelNamed(page, QStringLiteral("timecode"))->text(), code);
        QCOMPARE(window.webMonitorAccessCode(), code);
        QVERIFY(!window.webMonitorServer()->isRunning());
        QCOMPARE(statusOf(page), QStringLiteral("Stopped. Nothing is listening on the network."));
        QVERIFY(labelNamed(page, QStringLiteral("webUrls"))->text().isEmpty());
        QVERIFY(page->findChild<QPushButton *>(QStringLiteral("webStart"))->isEnabled());
        QVERIFY(!page->findChild<QPushButton *>(QStringLiteral("webStop"))->isEnabled());
        QVERIFY(!buttonWithText(page, QStringLiteral("Open in browser"))->isEnabled());
        QCOMPARE(page->findChild<QComboBox *>(QStringLiteral("webAccess"))->currentData().toBool(), true);
        QCOMPARE(page->findChild<QSpinBox *>(QStringLiteral("webPort"))->value(), 8787);
    }

    void storedPreferencesAreShown_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<bool>("lan");
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("quality");
        QTest::addColumn<bool>("codeKept");
        QTest::addColumn<int>("shownPort");
        QTest::addColumn<int>("shownQuality");
        QTest::newRow("five characters replaced") << "abcde" << true << 9000 << 2 << false << 9000 << 2;
        QTest::newRow("six characters kept") << "abcdef" << false << 1023 << 3 << true << 1024 << 3;
        QTest::newRow("port above range, unknown quality") << "longercode" << true << 70000 << 7 << true << 65535 << 0;
    }

    void storedPreferencesAreShown()
    {
        QFETCH(QString, code);
        QFETCH(bool, lan);
        QFETCH(int, port);
        QFETCH(int, quality);
        QFETCH(bool, codeKept);
        QFETCH(int, shownPort);
        QFETCH(int, shownQuality);
        {
            QSettings stored = preferences();
            stored.setValue(QStringLiteral("webMonitorCode"), code);
            stored.setValue(QStringLiteral("webMonitorLan"), lan);
            stored.setValue(QStringLiteral("webMonitorPort"), port);
            stored.setValue(QStringLiteral("webMonitorQuality"), quality);
        }
        MainWindow window(false, QStringLiteral("en"), state->path());
        QWidget *page = webTab(window);
        QVERIFY(page);
        const QString shownCode = labelNamed(page, QStringLiteral("timecode"))->text();
        QCOMPARE(shownCode == code, codeKept);
        QVERIFY(shownCode.size() >= 6);
        QCOMPARE(preferences().value(QStringLiteral("webMonitorCode")).toString(), shownCode);
        QCOMPARE(page->findChild<QComboBox *>(QStringLiteral("webAccess"))->currentData().toBool(), lan);
        QCOMPARE(page->findChild<QSpinBox *>(QStringLiteral("webPort"))->value(), shownPort);
        QCOMPARE(page->findChild<QComboBox *>(QStringLiteral("webQuality"))->currentData().toInt(), shownQuality);
        QCOMPARE(window.webMonitorServer()->appQuality->load(), shownQuality);
    }

    // This-computer mode binds loopback only, on a port free at the time; the server is reached
    // through what the tab shows.
    void startServeRenewAndStopFromTheTab()
    {
        MainWindow window(false, QStringLiteral("en"), state->path());
        QWidget *page = webTab(window);
        QVERIFY(page);
        auto *access = page->findChild<QComboBox *>(QStringLiteral("webAccess"));
        access->setCurrentIndex(access->findData(false));
        QCOMPARE(preferences().value(QStringLiteral("webMonitorLan")).toBool(), false);
        const quint16 port = freePort();
        page->findChild<QSpinBox *>(QStringLiteral("webPort"))->setValue(port);
        QCOMPARE(preferences().value(QStringLiteral("webMonitorPort")).toInt(), int(port));

        const QString clip = QDir(qEnvironmentVariable("ZELVO_FIXTURES")).absoluteFilePath(QStringLiteral("clip_1080p25.mp4"));
        QVERIFY(QFileInfo::exists(clip));
        window.channel(0)->load(Cue::forPath(clip), false);
        QTRY_COMPARE(window.channel(0)->source(), clip);

        QTest::mouseClick(page->findChild<QPushButton *>(QStringLiteral("webStart")), Qt::LeftButton);
        QVERIFY(window.webMonitorServer()->isRunning());
        QCOMPARE(statusOf(page), QStringLiteral("Running · 0 watching · 0 encoders"));
        QVERIFY(!access->isEnabled());
        QVERIFY(!page->findChild<QSpinBox *>(QStringLiteral("webPort"))->isEnabled());
        QVERIFY(!page->findChild<QPushButton *>(QStringLiteral("webStart"))->isEnabled());
        QVERIFY(page->findChild<QPushButton *>(QStringLiteral("webStop"))->isEnabled());

        const QString code = labelNamed(page, QStringLiteral("timecode"))->text();
        const QString url = QStringLiteral("http://127.0.0.1:%1/?k=%2").arg(port).arg(code);
        QCOMPARE(labelNamed(page, QStringLiteral("webUrls"))->text(),
                 QStringLiteral("<a style='color:#64d3e6' href='%1'>%1</a>").arg(url));

        const Reply programs = httpGet(QStringLiteral("127.0.0.1"), port, "/api/programs?k=" + code.toLatin1());
        QCOMPARE(programs.status, 200);
        const QJsonArray list = QJsonDocument::fromJson(programs.body).object().value(QStringLiteral("programs")).toArray();
        QCOMPARE(list.size(), 1);
        QCOMPARE(list.first().toObject().value(QStringLiteral("id")).toInt(), 1);
        QCOMPARE(list.first().toObject().value(QStringLiteral("name")).toString(), QStringLiteral("Program"));
        QCOMPARE(list.first().toObject().value(QStringLiteral("media")).toString(), QStringLiteral("clip_1080p25.mp4"));
        QCOMPARE(list.first().toObject().value(QStringLiteral("onAir")).toBool(), true);
        QCOMPARE(httpGet(QStringLiteral("127.0.0.1"), port, "/api/programs?k=wrong" + code.toLatin1()).status, 403);

        // Open in browser hands the loopback URL to the system browser.
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler(QStringLiteral("http"), &catcher, "open");
        QTest::mouseClick(buttonWithText(page, QStringLiteral("Open in browser")), Qt::LeftButton);
        QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
        QCOMPARE(catcher.opened, QList<QUrl>{QUrl(url)});

        // A new code takes effect at once: the old one is refused, the new one shown and served.
        QTest::mouseClick(buttonWithText(page, QStringLiteral("New code")), Qt::LeftButton);
        const QString renewed = labelNamed(page, QStringLiteral("timecode"))->text();
        QVERIFY(renewed != code);
        QCOMPARE(preferences().value(QStringLiteral("webMonitorCode")).toString(), renewed);
        QVERIFY(labelNamed(page, QStringLiteral("webUrls"))->text().contains(QStringLiteral("?k=") + renewed));
        QCOMPARE(httpGet(QStringLiteral("127.0.0.1"), port, "/api/programs?k=" + code.toLatin1()).status, 403);
        QCOMPARE(httpGet(QStringLiteral("127.0.0.1"), port, "/api/programs?k=" + renewed.toLatin1()).status, 200);

        QTest::mouseClick(page->findChild<QPushButton *>(QStringLiteral("webStop")), Qt::LeftButton);
        QVERIFY(!window.webMonitorServer()->isRunning());
        QCOMPARE(statusOf(page), QStringLiteral("Stopped. Nothing is listening on the network."));
        QVERIFY(labelNamed(page, QStringLiteral("webUrls"))->text().isEmpty());
        QVERIFY(access->isEnabled());
        QCOMPARE(httpGet(QStringLiteral("127.0.0.1"), port, "/api/programs?k=" + renewed.toLatin1()).status, 0);
    }

    void portInUseIsReportedAndStartCanBeRetried()
    {
        QTcpServer occupant;
        QVERIFY(occupant.listen(QHostAddress::LocalHost, 0));
        MainWindow window(false, QStringLiteral("en"), state->path());
        QWidget *page = webTab(window);
        QVERIFY(page);
        auto *access = page->findChild<QComboBox *>(QStringLiteral("webAccess"));
        access->setCurrentIndex(access->findData(false));
        page->findChild<QSpinBox *>(QStringLiteral("webPort"))->setValue(occupant.serverPort());
        QTest::mouseClick(page->findChild<QPushButton *>(QStringLiteral("webStart")), Qt::LeftButton);
        QVERIFY(!window.webMonitorServer()->isRunning());
        const QString expected = QStringLiteral("Web monitor could not start: ") + window.webMonitorServer()->lastError();
        QVERIFY(!window.webMonitorServer()->lastError().isEmpty());
        QCOMPARE(statusOf(page), expected);
        QCOMPARE(window.statusText(), expected);
        QVERIFY(page->findChild<QPushButton *>(QStringLiteral("webStart"))->isEnabled());
        QVERIFY(page->findChild<QSpinBox *>(QStringLiteral("webPort"))->isEnabled());

        page->findChild<QSpinBox *>(QStringLiteral("webPort"))->setValue(freePort());
        QTest::mouseClick(page->findChild<QPushButton *>(QStringLiteral("webStart")), Qt::LeftButton);
        QVERIFY(window.webMonitorServer()->isRunning());
        QVERIFY(statusOf(page).startsWith(QStringLiteral("Running")));
    }

    void qualityAppliesLiveAndIsStored()
    {
        MainWindow window(false, QStringLiteral("en"), state->path());
        QWidget *page = webTab(window);
        QVERIFY(page);
        auto *quality = page->findChild<QComboBox *>(QStringLiteral("webQuality"));
        QCOMPARE(quality->count(), 4);
        QCOMPARE(quality->itemText(1), QStringLiteral("720p"));
        for (int index : {3, 1, 0}) {
            quality->setCurrentIndex(index);
            QCOMPARE(window.webMonitorServer()->appQuality->load(), index);
            QCOMPARE(preferences().value(QStringLiteral("webMonitorQuality")).toInt(), index);
        }
    }

    void sampleContentStartsNothingAndWritesNothing()
    {
        MainWindow window(true, QStringLiteral("en"), state->path());
        QWidget *page = webTab(window);
        QVERIFY(page);
        auto *access = page->findChild<QComboBox *>(QStringLiteral("webAccess"));
        access->setCurrentIndex(1);
        page->findChild<QSpinBox *>(QStringLiteral("webPort"))->setValue(freePort());
        page->findChild<QComboBox *>(QStringLiteral("webQuality"))->setCurrentIndex(2);
        QTest::mouseClick(buttonWithText(page, QStringLiteral("New code")), Qt::LeftButton);
        QTest::mouseClick(page->findChild<QPushButton *>(QStringLiteral("webStart")), Qt::LeftButton);
        QVERIFY(!window.webMonitorServer()->isRunning());
        QCOMPARE(window.statusText(), QStringLiteral("Layout preview — sample content"));
        QSettings stored = preferences();
        for (const char *key : {"webMonitorCode", "webMonitorLan", "webMonitorPort", "webMonitorQuality"})
            QVERIFY2(!stored.contains(QString::fromLatin1(key)), key);
    }

    // LAN mode listens on every address, so it runs only inside the private namespace, whose veth
    // address stands in for the machine's network address.
    void lanModeListsNetworkUrlsAndOpensLoopback()
    {
        if (!qEnvironmentVariableIsSet("ZELVO_WEB_IN_NETNS"))
            QSKIP("LAN mode runs only inside a private network namespace (the app.webmonitorpage_lan test)");
        MainWindow window(false, QStringLiteral("en"), state->path());
        QWidget *page = webTab(window);
        QVERIFY(page);
        page->findChild<QSpinBox *>(QStringLiteral("webPort"))->setValue(8787);
        QTest::mouseClick(page->findChild<QPushButton *>(QStringLiteral("webStart")), Qt::LeftButton);
        QVERIFY(window.webMonitorServer()->isRunning());
        const QString code = window.webMonitorAccessCode();
        const QStringList urls = window.webMonitorServer()->urls();
        QVERIFY(urls.size() >= 2);
        QCOMPARE(urls.last(), QStringLiteral("http://127.0.0.1:8787/?k=") + code);
        const QString links = labelNamed(page, QStringLiteral("webUrls"))->text();
        QVERIFY(links.contains(QStringLiteral("http://10.77.0.1:8787/?k=") + code));
        QCOMPARE(links.count(QStringLiteral("<br>")), urls.size() - 1);
        QCOMPARE(httpGet(QStringLiteral("10.77.0.1"), 8787, "/api/programs?k=" + code.toLatin1()).status, 200);

        UrlCatcher catcher;
        QDesktopServices::setUrlHandler(QStringLiteral("http"), &catcher, "open");
        QTest::mouseClick(buttonWithText(page, QStringLiteral("Open in browser")), Qt::LeftButton);
        QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
        QCOMPARE(catcher.opened, QList<QUrl>{QUrl(urls.last())});
    }

    // Captures of the tab in both languages, running, and the pt-BR tab without English leftovers
    // after a live language change.
    void capturesInBothLanguages()
    {
        // The captures show the tab as the program styles it.
        qApp->setStyleSheet(applicationStyleSheet());
        for (const QString &language : {QStringLiteral("en"), QStringLiteral("pt-BR")}) {
            QTemporaryDir dir;
            MainWindow window(false, language, dir.path());
            QWidget *page = webTab(window);
            QVERIFY(page);
            auto *access = page->findChild<QComboBox *>(QStringLiteral("webAccess"));
            access->setCurrentIndex(1);
            page->findChild<QSpinBox *>(QStringLiteral("webPort"))->setValue(freePort());
            QVERIFY(window.startWebMonitor());
            for (auto *tabs : window.findChildren<QTabWidget *>())
                if (tabs->indexOf(page) >= 0)
                    window.showOutputsTab(tabs->indexOf(page));
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            QCoreApplication::processEvents();
            if (language == QStringLiteral("pt-BR")) {
                QVERIFY(statusOf(page).isEmpty()); // the status reads in Portuguese
                const QStringList leftovers = untranslatedTexts(page, languageTable(QStringLiteral("en")),
                                                                languageTable(QStringLiteral("pt-BR")));
                QVERIFY2(leftovers.isEmpty(), qPrintable(leftovers.join(QStringLiteral(" | "))));
            }
            const QString build = qEnvironmentVariable("ZELVO_BUILD_DIR");
            if (!build.isEmpty()) {
                QDir().mkpath(build + QStringLiteral("/captures/web"));
                QVERIFY(grabWidget(page).save(build + QStringLiteral("/captures/web/web-monitor-tab-") + language
                                              + QStringLiteral(".png")));
            }
        }
        qApp->setStyleSheet(QString());
    }

    void languageChangeRetranslatesTheStatusAndCombos()
    {
        MainWindow window(false, QStringLiteral("en"), state->path());
        QWidget *page = webTab(window);
        QVERIFY(page);
        QComboBox *languages = nullptr;
        for (auto *combo : window.findChildren<QComboBox *>())
            if (combo->findData(QStringLiteral("pt-BR")) >= 0)
                languages = combo;
        QVERIFY(languages);
        languages->setCurrentIndex(languages->findData(QStringLiteral("pt-BR")));
        QCOMPARE(window.languageCode(), QStringLiteral("pt-BR"));
        const QJsonObject pt = languageTable(QStringLiteral("pt-BR"));
        const QString stopped = pt.value(QStringLiteral("Stopped. Nothing is listening on the network.")).toString();
        bool found = false;
        for (auto *label : page->findChildren<QLabel *>(QStringLiteral("muted")))
            found = found || label->text() == stopped;
        QVERIFY(found);
        auto *access = page->findChild<QComboBox *>(QStringLiteral("webAccess"));
        QCOMPARE(access->itemText(0), pt.value(QStringLiteral("Local network (LAN)")).toString());
        QCOMPARE(page->findChild<QComboBox *>(QStringLiteral("webQuality"))->itemText(2), QStringLiteral("1080p"));
        const QStringList leftovers = untranslatedTexts(page, languageTable(QStringLiteral("en")), pt);
        QVERIFY2(leftovers.isEmpty(), qPrintable(leftovers.join(QStringLiteral(" | "))));
    }
};

QTEST_MAIN(WebMonitorPageTest)
#include "tst_webmonitorpage.moc"
