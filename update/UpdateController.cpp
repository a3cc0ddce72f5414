#include "update/UpdateController.h"

#include "update/ManifestSignature.h"
#include "update/TrustedFolder.h"
#include "update/UpdateFeed.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QUuid>
#include <cmath>
#include <cstdlib>
#include <optional>

namespace {

constexpr qsizetype maxDocumentBytes = 262144;
constexpr qsizetype maxPayloadBytes = 131072;
constexpr qint64 maxInstallerBytes = 536870912;
constexpr int maxNoteEntries = 80;
constexpr int maxNoteLength = 2000;
constexpr qint64 checkReadBuffer = 65536;
constexpr qint64 downloadReadBuffer = 1048576;
constexpr int transferTimeoutMs = 30000;

const char keyId[] = "zelvo-playout-2026-01";
const char updaterProgram[] = "ZelvoUpdater";

const char msgMetadataSize[] = "Invalid update metadata size";
const char msgMetadata[] = "Invalid update metadata";
const char msgSignature[] = "Update signature could not be verified";
const char msgProduct[] = "Update is for another product or platform";
const char msgVersion[] = "Invalid update version";
const char msgPath[] = "Invalid update download path";
const char msgSizeHash[] = "Invalid update file size or hash";
const char msgNotesMissing[] = "Update notes are unavailable";
const char msgNotesInvalid[] = "Invalid update notes";
const char msgCheckFailed[] = "Could not check for updates. Playback is unaffected.";
const char msgFolder[] = "Could not create the update download folder";
const char msgSave[] = "Could not save the update download";
const char msgVerification[] = "Update download did not pass verification. Nothing was installed.";
const char msgNotPackaged[] = "Install updates from a packaged application.";
const char msgStartFailed[] = "Could not start the update installer";

// Standard base64 with every decoding error rejected; an empty result stands for "not decodable".
QByteArray strictBase64(const QString &text)
{
    const QByteArray latin1 = text.toLatin1();
    if (latin1.size() % 4 != 0)
        return {};
    const auto decoded = QByteArray::fromBase64Encoding(latin1, QByteArray::AbortOnBase64DecodingErrors);
    return decoded ? *decoded : QByteArray();
}

bool isOwnProductAndPlatform(const QJsonObject &payload)
{
    const QJsonValue schema = payload.value(QStringLiteral("schema"));
    return schema.isDouble() && schema.toDouble() == 1.0
           && payload.value(QStringLiteral("product")).toString() == QStringLiteral("zelvo-playout")
           && payload.value(QStringLiteral("channel")).toString() == QStringLiteral("preview")
           && payload.value(QStringLiteral("platform")).toString() == QStringLiteral("windows-x64");
}

bool isAllowedFileName(const QString &file)
{
    static const QRegularExpression allowed(QRegularExpression::anchoredPattern(QStringLiteral("[A-Za-z0-9_./-]+")));
    return file.startsWith(QStringLiteral("releases/ZelvoPlayout-")) && file.endsWith(QStringLiteral("-setup.exe"))
           && !file.contains(QStringLiteral("..")) && allowed.match(file).hasMatch();
}

bool staysInsideFeed(const QString &file)
{
    const QUrl base = updateFeedBaseUrl();
    const QUrl url = base.resolved(QUrl(file));
    return url.isValid() && url.scheme() == QStringLiteral("https")
           && url.host(QUrl::FullyDecoded) == base.host(QUrl::FullyDecoded)
           && url.path(QUrl::FullyDecoded).startsWith(QStringLiteral("/updates/")) && url.userInfo().isEmpty()
           && !url.hasQuery() && !url.hasFragment();
}

bool isValidHashAndSize(const QString &sha256, const QJsonValue &size)
{
    static const QRegularExpression hex(QRegularExpression::anchoredPattern(QStringLiteral("[0-9a-f]{64}")));
    const double bytes = size.isDouble() ? size.toDouble() : -1.0;
    return hex.match(sha256).hasMatch() && std::isfinite(bytes) && bytes > 0 && bytes <= double(maxInstallerBytes)
           && bytes == std::floor(bytes);
}

// Null when the notes pass, else the message of the first rule they break.
const char *notesProblem(const QJsonObject &notes)
{
    for (const QString language : {QStringLiteral("en"), QStringLiteral("pt-BR")}) {
        const QJsonArray entries = notes.value(language).toArray();
        if (entries.isEmpty() || entries.size() > maxNoteEntries)
            return msgNotesMissing;
        for (const QJsonValue &entry : entries) {
            if (!entry.isString() || entry.toString().isEmpty() || entry.toString().size() > maxNoteLength)
                return msgNotesInvalid;
        }
    }
    return nullptr;
}

// The payload's content rules in order; null when all pass.
const char *payloadProblem(const QJsonObject &payload)
{
    if (!isOwnProductAndPlatform(payload))
        return msgProduct;
    if (UpdateController::parseVersion(payload.value(QStringLiteral("version")).toString()).size() != 4)
        return msgVersion;
    const QJsonObject setup = payload.value(QStringLiteral("artifacts")).toObject().value(QStringLiteral("setup")).toObject();
    const QString file = setup.value(QStringLiteral("file")).toString();
    if (!isAllowedFileName(file) || !staysInsideFeed(file))
        return msgPath;
    if (!isValidHashAndSize(setup.value(QStringLiteral("sha256")).toString(), setup.value(QStringLiteral("size"))))
        return msgSizeHash;
    return notesProblem(payload.value(QStringLiteral("notes")).toObject());
}

// The signed payload object of a manifest document, or the message of the rule that failed.
std::optional<QJsonObject> signedPayload(const QByteArray &document, const char **problem)
{
    if (document.isEmpty() || document.size() > maxDocumentBytes)
        return (*problem = msgMetadataSize, std::nullopt);
    QJsonParseError parseError;
    const QJsonDocument outer = QJsonDocument::fromJson(document, &parseError);
    if (parseError.error != QJsonParseError::NoError || !outer.isObject())
        return (*problem = msgMetadata, std::nullopt);
    const QJsonObject object = outer.object();
    if (object.value(QStringLiteral("key_id")).toString() != QLatin1String(keyId))
        return (*problem = msgSignature, std::nullopt);
    const QByteArray payload = strictBase64(object.value(QStringLiteral("payload")).toString());
    const QByteArray signature = strictBase64(object.value(QStringLiteral("signature")).toString());
    if (payload.isEmpty() || payload.size() > maxPayloadBytes || !ManifestSignature::verify(payload, signature))
        return (*problem = msgSignature, std::nullopt);
    const QJsonDocument inner = QJsonDocument::fromJson(payload, &parseError);
    if (parseError.error != QJsonParseError::NoError || !inner.isObject())
        return (*problem = msgMetadata, std::nullopt);
    return inner.object();
}

int httpStatus(const QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

} // namespace

UpdateController::UpdateController(const QString &currentVersion, const QString &downloadFolder, QObject *parent)
    : QObject(parent), m_currentVersion(currentVersion), m_downloadFolder(downloadFolder)
{
}

UpdateController::~UpdateController()
{
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
    }
    discardSaveFile();
}

bool UpdateController::parseSignedManifest(const QByteArray &document, UpdateManifest *out, QString *error)
{
    UpdateManifest scratch;
    QString scratchError;
    out = out ? out : &scratch;
    error = error ? error : &scratchError;
    *out = UpdateManifest{};

    const char *problem = nullptr;
    const std::optional<QJsonObject> payload = signedPayload(document, &problem);
    if (payload)
        problem = payloadProblem(*payload);
    if (problem) {
        *error = QString::fromLatin1(problem);
        return false;
    }
    const QJsonObject setup = payload->value(QStringLiteral("artifacts")).toObject().value(QStringLiteral("setup")).toObject();
    out->version = payload->value(QStringLiteral("version")).toString();
    out->sourceCommit = payload->value(QStringLiteral("source_commit")).toString();
    out->file = setup.value(QStringLiteral("file")).toString();
    out->sha256 = setup.value(QStringLiteral("sha256")).toString();
    out->size = qint64(setup.value(QStringLiteral("size")).toDouble());
    out->notes = payload->value(QStringLiteral("notes")).toObject();
    error->clear();
    return true;
}

QList<quint64> UpdateController::parseVersion(const QString &text)
{
    // Anchored at the very end: "$" alone would also accept a final line feed.
    static const QRegularExpression pattern(QRegularExpression::anchoredPattern(
        QStringLiteral("v([0-9]{1,5})\\.([0-9]{1,5})\\.([0-9]{1,5}) \\(build ([0-9]{4,9})\\)")));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return {};
    QList<quint64> parts;
    for (int group = 1; group <= 4; ++group)
        parts.append(match.captured(group).toULongLong());
    return parts;
}

int UpdateController::compareVersions(const QString &a, const QString &b)
{
    const QList<quint64> left = parseVersion(a);
    const QList<quint64> right = parseVersion(b);
    if (left.size() != 4 || right.size() != 4)
        return 0;
    for (int i = 0; i < 4; ++i) {
        if (left[i] != right[i])
            return left[i] > right[i] ? 1 : -1;
    }
    return 0;
}

bool UpdateController::verifyFile(const QString &path, const QString &sha256, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() != size)
        return false;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file))
        return false;
    return QString::fromLatin1(hash.result().toHex()) == sha256;
}

QNetworkRequest UpdateController::makeRequest(const QUrl &url)
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setTransferTimeout(transferTimeoutMs);
    request.setRawHeader("User-Agent", "ZelvoPlayout/" + QCoreApplication::applicationVersion().toUtf8());
    return request;
}

void UpdateController::setError(const QString &message)
{
    m_state = QStringLiteral("error");
    m_error = message;
    emit changed();
}

void UpdateController::setState(const QString &state)
{
    m_state = state;
    emit changed();
}

void UpdateController::checkForUpdates()
{
    if (m_reply || m_state == QStringLiteral("downloading") || m_state == QStringLiteral("ready"))
        return;
    m_cancelRequested = false;
    m_state = QStringLiteral("checking");
    m_error.clear();
    emit changed();

    QNetworkReply *reply = m_network.get(makeRequest(updateFeedBaseUrl().resolved(QUrl(QStringLiteral("preview/latest.json")))));
    reply->setReadBufferSize(checkReadBuffer);
    m_reply = reply;
    auto body = std::make_shared<QByteArray>();
    connect(reply, &QNetworkReply::readyRead, this, [reply, body] {
        body->append(reply->readAll());
        if (body->size() > maxDocumentBytes)
            reply->abort();
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply, body] {
        if (reply->isOpen()) // an aborted reply is closed and has nothing more to read
            body->append(reply->readAll());
        checkFinished(reply, *body);
    });
}

void UpdateController::checkFinished(QNetworkReply *reply, const QByteArray &body)
{
    const bool succeeded = reply->error() == QNetworkReply::NoError && httpStatus(reply) == 200
                           && body.size() <= maxDocumentBytes;
    m_reply = nullptr;
    reply->deleteLater();
    if (m_cancelRequested)
        setState(QStringLiteral("idle"));
    else if (succeeded)
        applyManifest(body);
    else
        setError(QString::fromLatin1(msgCheckFailed));
}

bool UpdateController::applyManifest(const QByteArray &body)
{
    QString message;
    const bool accepted = parseSignedManifest(body, &m_manifest, &message);
    if (!accepted) {
        setError(message);
        return false;
    }
    m_error.clear();
    m_downloadedPath.clear();
    m_progress = 0;
    const bool newer = compareVersions(m_manifest.version, m_currentVersion) > 0;
    setState(newer ? QStringLiteral("available") : QStringLiteral("current"));
    if (newer)
        emit available();
    return true;
}

bool UpdateController::holdsNewerRelease() const
{
    return compareVersions(m_manifest.version, m_currentVersion) > 0;
}

void UpdateController::downloadUpdate()
{
    // From "error" the held manifest may be one that a check found not newer ("current") before a
    // later check failed: only a newer release is ever downloaded.
    if (m_reply || !holdsNewerRelease()
        || (m_state != QStringLiteral("available") && m_state != QStringLiteral("error")))
        return;
    // The folder holds the installer between its check and its start: nobody else may change it.
    const bool created = !QFileInfo::exists(m_downloadFolder);
    if (!QDir().mkpath(m_downloadFolder)
        || (created && !QFile::setPermissions(m_downloadFolder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))) {
        setError(QString::fromLatin1(msgFolder));
        return;
    }
    m_downloadedPath = QDir(m_downloadFolder).filePath(QFileInfo(m_manifest.file).fileName());
    // Unbuffered, so that a full disk shows up at the write that hit it.
    m_saveFile = std::make_unique<QSaveFile>(m_downloadedPath);
    if (!m_saveFile->open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        m_saveFile.reset();
        m_downloadedPath.clear();
        setError(QString::fromLatin1(msgSave));
        return;
    }
    m_cancelRequested = false;
    m_writeFailed = false;
    m_received = 0;
    m_hash.reset();
    m_progress = 0;
    m_state = QStringLiteral("downloading");
    m_error.clear();
    emit changed();

    QNetworkReply *reply = m_network.get(makeRequest(updateFeedBaseUrl().resolved(QUrl(m_manifest.file))));
    reply->setReadBufferSize(downloadReadBuffer);
    m_reply = reply;
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] { downloadReadyRead(reply); });
    connect(reply, &QNetworkReply::finished, this, [this, reply] { downloadFinished(reply); });
}

void UpdateController::downloadReadyRead(QNetworkReply *reply)
{
    const QByteArray bytes = reply->readAll();
    if (bytes.isEmpty())
        return;
    m_received += bytes.size();
    if (m_received > m_manifest.size || m_received > maxInstallerBytes || !m_saveFile) {
        reply->abort();
        return;
    }
    if (m_saveFile->write(bytes) != bytes.size()) {
        m_writeFailed = true;
        reply->abort();
        return;
    }
    m_hash.addData(bytes);
    m_progress = int(m_received * 100 / m_manifest.size);
    emit changed();
}

void UpdateController::downloadFinished(QNetworkReply *reply)
{
    if (reply->error() == QNetworkReply::NoError)
        downloadReadyRead(reply);
    const bool passed = reply->error() == QNetworkReply::NoError && httpStatus(reply) == 200 && !m_writeFailed
                        && m_received == m_manifest.size
                        && QString::fromLatin1(m_hash.result().toHex()) == m_manifest.sha256;
    m_reply = nullptr;
    reply->deleteLater();
    if (passed && !m_cancelRequested) {
        const bool committed = m_saveFile && m_saveFile->commit();
        m_saveFile.reset();
        if (committed) {
            m_progress = 100;
            setState(QStringLiteral("ready"));
        } else {
            m_downloadedPath.clear();
            setError(QString::fromLatin1(msgSave));
        }
        return;
    }
    discardSaveFile();
    m_downloadedPath.clear();
    if (m_cancelRequested) {
        m_error.clear();
        setState(QStringLiteral("available"));
    } else {
        setError(QString::fromLatin1(m_writeFailed ? msgSave : msgVerification));
    }
}

void UpdateController::discardSaveFile()
{
    if (m_saveFile)
        m_saveFile->cancelWriting();
    m_saveFile.reset();
}

void UpdateController::cancelDownload()
{
    m_cancelRequested = true;
    if (m_reply)
        m_reply->abort();
}

QString UpdateController::copyUpdater(const QString &program) const
{
    // The copy is started by its name, so no other account may be able to rename or replace anything
    // on its path: the download folder must be trusted, and the copy goes into a folder of its own
    // that only this account can enter.
    if (TrustedFolder::check(QFile::encodeName(m_downloadFolder).toStdString()) != TrustedFolder::Verdict::Trusted)
        return {};
    QByteArray folder = QFile::encodeName(QDir(m_downloadFolder).filePath(QStringLiteral(".zelvo-updater-XXXXXX")));
    if (!mkdtemp(folder.data()))
        return {};
    const QString copy = QDir(QFile::decodeName(folder)).filePath(
        QString::fromLatin1(updaterProgram) + QLatin1Char('-') + QUuid::createUuid().toString(QUuid::WithoutBraces));
    if (!QFile::copy(program, copy)
        || !QFile::setPermissions(copy, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)) {
        QFile::remove(copy);
        QDir().rmdir(QFile::decodeName(folder));
        return {};
    }
    return copy;
}

QString UpdateController::applicationExecutable() const
{
    return m_applicationExecutable.isEmpty() ? QCoreApplication::applicationFilePath() : m_applicationExecutable;
}

bool UpdateController::install(const QString &stateDir, const QString &showPath, const QString &language,
                               bool portable, QString *error)
{
    const auto fail = [error](const char *message) {
        if (error)
            *error = QString::fromLatin1(message);
        return false;
    };
    if (m_state != QStringLiteral("ready") || !holdsNewerRelease()
        || !verifyFile(m_downloadedPath, m_manifest.sha256, m_manifest.size))
        return fail(msgVerification);
    const QFileInfo executable(applicationExecutable());
    const QDir applicationFolder = executable.absoluteDir();
    if (!applicationFolder.exists(QStringLiteral("build-info.json")))
        return fail(msgNotPackaged);
    const QString updaterCopy = copyUpdater(applicationFolder.filePath(QString::fromLatin1(updaterProgram)));
    if (updaterCopy.isEmpty())
        return fail(msgStartFailed);

    QStringList arguments{QStringLiteral("--parent-pid"), QString::number(QCoreApplication::applicationPid()),
                          QStringLiteral("--installer"), m_downloadedPath,
                          QStringLiteral("--sha256"), m_manifest.sha256,
                          QStringLiteral("--size"), QString::number(m_manifest.size),
                          QStringLiteral("--target"), applicationFolder.absolutePath(),
                          QStringLiteral("--restart"), executable.absoluteFilePath(),
                          QStringLiteral("--state-dir"), stateDir,
                          QStringLiteral("--lang"), language};
    if (!showPath.isEmpty())
        arguments << QStringLiteral("--show") << showPath;
    if (portable)
        arguments << QStringLiteral("--portable");
    if (!QProcess::startDetached(updaterCopy, arguments, m_downloadFolder))
        return fail(msgStartFailed);
    return true;
}
