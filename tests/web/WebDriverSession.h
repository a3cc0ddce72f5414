#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QString>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

// Header only, so the browser test and the browser benchmark share it.
// A headless Chromium driven through chromium-driver (the W3C WebDriver protocol over HTTP), for
// the browser test and the browser benchmark of the web monitor. Every call blocks the GUI thread
// while it keeps processing events, so a server in the same process goes on serving the page.
class WebDriverSession
{
public:
    WebDriverSession() = default;
    ~WebDriverSession();

    // Starts the driver and a fresh browser profile; empty on success, else why not.
    QString start();
    bool navigate(const QString &url);
    // Runs a script in the page and returns its result (W3C "execute/sync").
    QJsonValue execute(const QString &script, const QJsonArray &arguments = {});
    // Runs a script whose last argument is the callback (W3C "execute/async").
    QJsonValue executeAsync(const QString &script, const QJsonArray &arguments = {});
    QByteArray screenshotPng();
    // Runs a script in every document this tab opens from now on, before the page's own scripts.
    void addScriptOnNewDocument(const QString &script);
    // Opens a new tab and switches to it.
    bool newTab();
    QString lastError() const { return m_lastError; }

private:
    QJsonValue call(const QByteArray &method, const QString &path, const QJsonObject &body = {});

    QProcess m_driver;
    QNetworkAccessManager m_manager;
    QString m_base;
    QString m_session;
    QString m_profile;
    QString m_lastError;
};

namespace webdriver {

inline quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

} // namespace webdriver

inline WebDriverSession::~WebDriverSession()
{
    if (!m_session.isEmpty())
        call("DELETE", QStringLiteral("/session/") + m_session);
    if (m_driver.state() != QProcess::NotRunning) {
        m_driver.terminate();
        if (!m_driver.waitForFinished(3000))
            m_driver.kill();
        m_driver.waitForFinished(3000);
    }
    if (!m_profile.isEmpty())
        QDir(m_profile).removeRecursively();
}

inline QString WebDriverSession::start()
{
    const QString driver = QStandardPaths::findExecutable(QStringLiteral("chromedriver"));
    const QString browser = QStandardPaths::findExecutable(QStringLiteral("chromium"));
    if (driver.isEmpty() || browser.isEmpty())
        return QStringLiteral("chromium and chromium-driver are not installed");
    const quint16 port = webdriver::freePort();
    m_driver.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_driver.start(driver, {QStringLiteral("--port=%1").arg(port)});
    if (!m_driver.waitForStarted(5000))
        return QStringLiteral("chromium-driver does not start");
    m_base = QStringLiteral("http://127.0.0.1:%1").arg(port);
    QElapsedTimer ready;
    ready.start();
    while (call("GET", QStringLiteral("/status")).toObject().value(QStringLiteral("ready")).toBool() == false) {
        if (ready.elapsed() > 15000)
            return QStringLiteral("chromium-driver is not ready");
        QThread::msleep(100);
    }
    m_profile = QDir::temp().filePath(QStringLiteral("zelvo-chromium-%1").arg(port));
    QDir(m_profile).removeRecursively();
    const QJsonArray arguments{
        QStringLiteral("--headless=new"), QStringLiteral("--no-sandbox"), QStringLiteral("--disable-gpu"),
        QStringLiteral("--disable-quic"), QStringLiteral("--no-first-run"),
        QStringLiteral("--disable-background-networking"), QStringLiteral("--disable-component-update"),
        QStringLiteral("--disable-sync"), QStringLiteral("--disable-features=WebRtcHideLocalIpsWithMdns"),
        QStringLiteral("--autoplay-policy=no-user-gesture-required"), QStringLiteral("--window-size=1400,1000"),
        QStringLiteral("--disable-dev-shm-usage"), QStringLiteral("--user-data-dir=") + m_profile};
    const QJsonObject options{{QStringLiteral("binary"), browser}, {QStringLiteral("args"), arguments}};
    const QJsonObject capabilities{
        {QStringLiteral("alwaysMatch"),
         QJsonObject{{QStringLiteral("browserName"), QStringLiteral("chrome")},
                     {QStringLiteral("goog:chromeOptions"), options}}}};
    const QJsonObject created =
        call("POST", QStringLiteral("/session"), {{QStringLiteral("capabilities"), capabilities}}).toObject();
    m_session = created.value(QStringLiteral("sessionId")).toString();
    if (m_session.isEmpty())
        return QStringLiteral("no browser session: ") + m_lastError;
    return {};
}

inline QJsonValue WebDriverSession::call(const QByteArray &method, const QString &path, const QJsonObject &body)
{
    QNetworkRequest request{QUrl(m_base + path)};
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    const QByteArray payload = method == "POST" ? QJsonDocument(body).toJson(QJsonDocument::Compact) : QByteArray();
    QNetworkReply *reply = m_manager.sendCustomRequest(request, method, payload);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec();
    const QJsonObject answer = QJsonDocument::fromJson(reply->readAll()).object();
    reply->deleteLater();
    const QJsonValue value = answer.value(QStringLiteral("value"));
    if (value.isObject() && value.toObject().contains(QStringLiteral("error"))) {
        m_lastError = value.toObject().value(QStringLiteral("message")).toString();
        return {};
    }
    return value;
}

inline bool WebDriverSession::navigate(const QString &url)
{
    call("POST", QStringLiteral("/session/%1/url").arg(m_session), {{QStringLiteral("url"), url}});
    return m_lastError.isEmpty();
}

inline QJsonValue WebDriverSession::execute(const QString &script, const QJsonArray &arguments)
{
    return call("POST", QStringLiteral("/session/%1/execute/sync").arg(m_session),
                {{QStringLiteral("script"), script}, {QStringLiteral("args"), arguments}});
}

inline QJsonValue WebDriverSession::executeAsync(const QString &script, const QJsonArray &arguments)
{
    return call("POST", QStringLiteral("/session/%1/execute/async").arg(m_session),
                {{QStringLiteral("script"), script}, {QStringLiteral("args"), arguments}});
}

inline QByteArray WebDriverSession::screenshotPng()
{
    return QByteArray::fromBase64(
        call("GET", QStringLiteral("/session/%1/screenshot").arg(m_session)).toString().toLatin1());
}

inline bool WebDriverSession::newTab()
{
    const QJsonObject opened =
        call("POST", QStringLiteral("/session/%1/window/new").arg(m_session), {{QStringLiteral("type"), QStringLiteral("tab")}})
            .toObject();
    const QString handle = opened.value(QStringLiteral("handle")).toString();
    if (handle.isEmpty())
        return false;
    call("POST", QStringLiteral("/session/%1/window").arg(m_session), {{QStringLiteral("handle"), handle}});
    return true;
}

inline void WebDriverSession::addScriptOnNewDocument(const QString &script)
{
    call("POST", QStringLiteral("/session/%1/goog/cdp/execute").arg(m_session),
         {{QStringLiteral("cmd"), QStringLiteral("Page.addScriptToEvaluateOnNewDocument")},
          {QStringLiteral("params"), QJsonObject{{QStringLiteral("source"), script}}}});
}
