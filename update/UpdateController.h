#pragma once

#include "update/UpdateManifest.h"

#include <QCryptographicHash>
#include <QList>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QObject>
#include <QPointer>
#include <QSaveFile>
#include <QString>
#include <memory>

class QNetworkReply;

// Finds a newer signed release on the update feed, downloads its installer into the download folder
// while hashing it, and hands a verified installer to the updater program. Checking never downloads,
// nothing is handed over unless size and SHA-256 match the signed manifest, and only a release newer
// than the running one is downloaded or installed. The updater copy starts from a private folder
// inside a download folder that no other account can change. Lives on the GUI thread.
class UpdateController : public QObject
{
    Q_OBJECT

public:
    UpdateController(const QString &currentVersion, const QString &downloadFolder, QObject *parent = nullptr);
    ~UpdateController() override;

    void checkForUpdates();
    void downloadUpdate();
    void cancelDownload();
    // Feeds a manifest document through the signature and content rules and takes the verdict.
    bool applyManifest(const QByteArray &body);
    bool install(const QString &stateDir, const QString &showPath, const QString &language, bool portable,
                 QString *error);

    QString currentText() const { return m_state; }
    QString downloadedPath() const { return m_downloadedPath; }
    QString currentVersion() const { return m_currentVersion; }
    QString errorText() const { return m_error; }
    const UpdateManifest &manifest() const { return m_manifest; }
    int progress() const { return m_progress; }

    static bool parseSignedManifest(const QByteArray &document, UpdateManifest *out, QString *error);
    static QList<quint64> parseVersion(const QString &text);
    static int compareVersions(const QString &a, const QString &b);
    static bool verifyFile(const QString &path, const QString &sha256, qint64 size);
    static QNetworkRequest makeRequest(const QUrl &url);

    // Test seam: the executable whose folder counts as the installation folder (the running
    // program's own by default).
    void setApplicationExecutableForTests(const QString &path) { m_applicationExecutable = path; }

signals:
    void changed();
    void available();

private:
    void setError(const QString &message);
    void setState(const QString &state);
    void checkFinished(QNetworkReply *reply, const QByteArray &body);
    void downloadReadyRead(QNetworkReply *reply);
    void downloadFinished(QNetworkReply *reply);
    void discardSaveFile();
    QString applicationExecutable() const;
    bool holdsNewerRelease() const;
    // Copies the updater into a private folder inside the download folder; empty on failure.
    QString copyUpdater(const QString &program) const;

    QNetworkAccessManager m_network;
    QPointer<QNetworkReply> m_reply;
    QString m_currentVersion;
    QString m_downloadFolder;
    QString m_state = QStringLiteral("idle");
    QString m_error;
    QString m_downloadedPath;
    UpdateManifest m_manifest;
    int m_progress = 0;
    bool m_cancelRequested = false;
    std::unique_ptr<QSaveFile> m_saveFile;
    QCryptographicHash m_hash{QCryptographicHash::Sha256};
    qint64 m_received = 0;
    // A disk write that failed ends the download with its own message rather than a verification one.
    bool m_writeFailed = false;
    QString m_applicationExecutable;
};
