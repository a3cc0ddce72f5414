#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QString>

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
