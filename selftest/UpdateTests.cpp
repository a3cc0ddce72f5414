#include "app/AppInfo.h"
#include "selftest/SelfTestReport.h"
#include "selftest/SelfTestRunners.h"
#include "selftest/SelfTestWait.h"
#include "update/UpdateController.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <memory>
#include <optional>

namespace {

const char scopeText[] = "Native CNG signature/product/platform/path validation, optional actual Pagehost "
                         "check/cancel/verified download. No installer launch from these metadata tests. "
                         "v999 fixtures are test-only, never releases.";
const QByteArray downloadFixtureBytes = QByteArrayLiteral("zelvo update fixture bytes\n");

struct FieldFixture
{
    const char *field;
    const char *expectedError;
};

// Each field fixture is signed correctly and breaks exactly one rule, so it must fail on that rule's
// message; a fixture rejected for any other reason (a bad signature, say) proves nothing.
const FieldFixture fieldFixtures[] = {
    {"product", "Update is for another product or platform"},
    {"platform", "Update is for another product or platform"},
    {"channel", "Update is for another product or platform"},
    {"version", "Invalid update version"},
    {"path", "Invalid update download path"},
    {"url", "Invalid update download path"},
    {"size", "Invalid update file size or hash"},
    {"hash", "Invalid update file size or hash"},
    {"notes", "Update notes are unavailable"},
};
const QString signatureError = QStringLiteral("Update signature could not be verified");

// A fixture that cannot be read is a failed case, never an empty document that is "rejected".
std::optional<QByteArray> readFixture(const QDir &folder, const QString &name)
{
    QFile file(folder.filePath(name + QStringLiteral(".json")));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.readAll();
}

QByteArray indented(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}

QByteArray withTamperedSignature(const QByteArray &valid)
{
    QJsonObject object = QJsonDocument::fromJson(valid).object();
    QString signature = object.value(QStringLiteral("signature")).toString();
    if (!signature.isEmpty())
        signature[0] = signature[0] == QLatin1Char('A') ? QLatin1Char('B') : QLatin1Char('A');
    object.insert(QStringLiteral("signature"), signature);
    return indented(object);
}

QByteArray withTamperedPayload(const QByteArray &valid)
{
    QJsonObject object = QJsonDocument::fromJson(valid).object();
    QByteArray payload = QByteArray::fromBase64(object.value(QStringLiteral("payload")).toString().toLatin1());
    if (!payload.isEmpty())
        payload[0] = '[';
    object.insert(QStringLiteral("payload"), QString::fromLatin1(payload.toBase64()));
    return indented(object);
}

class UpdateRun
{
public:
    UpdateRun(const QString &fixtures, const QString &result, bool live)
        : m_fixtures(fixtures), m_result(result), m_live(live), m_report(QString::fromLatin1(scopeText))
    {
    }

    int run()
    {
        manifestCases();
        versionCases();
        prepareScratch();
        downloadFileCases();
        offlineControllerCases();
        if (m_live)
            liveCases();
        m_report.setMember(QStringLiteral("version"), AppInfo::version);
        m_report.setMember(QStringLiteral("online"), m_live);
        m_report.setMember(QStringLiteral("live"), m_liveSummary);
        const int code = m_report.write(m_result);
        m_offline.reset();
        return code;
    }

private:
    void record(const char *name, bool pass) { m_report.appendResult({{"name", QString::fromLatin1(name)}}, pass); }

    bool parse(const QByteArray &document)
    {
        return UpdateController::parseSignedManifest(document, &m_manifest, &m_error);
    }

    bool rejectedWith(const std::optional<QByteArray> &document, const QString &expected)
    {
        return document && !parse(*document) && m_error == expected;
    }

    void manifestCases()
    {
        m_valid = readFixture(m_fixtures, QStringLiteral("valid"));
        const bool accepted = m_valid && parse(*m_valid);
        record("signed_manifest_from_compiled_key_is_accepted",
               accepted && m_manifest.version.startsWith(QStringLiteral("v999."))
                   && m_manifest.notes.value(QStringLiteral("en")).isArray()
                   && m_manifest.notes.value(QStringLiteral("en")).toArray().size() == 1);
        for (const FieldFixture &fixture : fieldFixtures) {
            const QString field = QString::fromLatin1(fixture.field);
            const QByteArray name = "signed_wrong_" + field.toLatin1() + "_is_rejected";
            record(name.constData(), rejectedWith(readFixture(m_fixtures, field), QString::fromLatin1(fixture.expectedError)));
        }
        const auto tampered = [this](QByteArray (*tamper)(const QByteArray &)) {
            return m_valid ? std::optional<QByteArray>(tamper(*m_valid)) : std::nullopt;
        };
        record("tampered_signature_is_rejected", rejectedWith(tampered(withTamperedSignature), signatureError));
        record("tampered_payload_is_rejected", rejectedWith(tampered(withTamperedPayload), signatureError));
        record("malformed_json_is_rejected", rejectedWith(QByteArray("{"), QStringLiteral("Invalid update metadata")));
        record("oversized_metadata_is_rejected",
               rejectedWith(QByteArray(262144 + 1024, 'x'), QStringLiteral("Invalid update metadata size")));
    }

    void versionCases()
    {
        const auto newer = [](const char *a, const char *b) {
            return UpdateController::compareVersions(QString::fromLatin1(a), QString::fromLatin1(b)) > 0;
        };
        record("version_comparison_is_numeric", newer("v0.14.10 (build 0039)", "v0.14.2 (build 0040)"));
        record("build_breaks_equal_semantic_version_ties", newer("v0.14.1 (build 0036)", "v0.14.1 (build 0035)"));
        record("semantic_version_precedes_build", newer("v0.15.0 (build 0001)", "v0.14.99 (build 9999)"));
    }

    void prepareScratch()
    {
        const QString resultFolder = QFileInfo(m_result).absolutePath();
        QDir().mkpath(resultFolder);
        m_scratch = std::make_unique<QTemporaryDir>(resultFolder + QStringLiteral("/update-qa-XXXXXX"));
        m_fixturePath = m_scratch->filePath(QStringLiteral("fixture.bin"));
        QFile file(m_fixturePath);
        const bool written = m_scratch->isValid() && file.open(QIODevice::WriteOnly)
                             && file.write(downloadFixtureBytes) == downloadFixtureBytes.size() && file.flush();
        if (!written)
            qWarning("update test: the download fixture could not be written");
        m_fixtureHash = QString::fromLatin1(
            QCryptographicHash::hash(downloadFixtureBytes, QCryptographicHash::Sha256).toHex());
    }

    void downloadFileCases()
    {
        const qint64 size = downloadFixtureBytes.size();
        record("exact_download_bytes_and_size_match", UpdateController::verifyFile(m_fixturePath, m_fixtureHash, size));
        record("wrong_download_hash_rejected",
               !UpdateController::verifyFile(m_fixturePath, QString(64, QLatin1Char('0')), size));
        record("truncated_download_size_rejected", !UpdateController::verifyFile(m_fixturePath, m_fixtureHash, size + 1));
    }

    void offlineControllerCases()
    {
        const QString folder = m_scratch->filePath(QStringLiteral("offline"));
        m_offline = std::make_unique<UpdateController>(AppInfo::version, folder);
        record("startup_does_not_download_or_install",
               m_offline->currentText() == QStringLiteral("idle") && m_offline->downloadedPath().isEmpty());
        m_offline->applyManifest(m_valid.value_or(QByteArray()));
        record("available_metadata_only_waits_for_user",
               m_offline->currentText() == QStringLiteral("available") && m_offline->downloadedPath().isEmpty()
                   && !QFileInfo::exists(folder));
    }

    void liveCases()
    {
        const QString folder = m_scratch->filePath(QStringLiteral("online"));
        auto online = std::make_unique<UpdateController>(QStringLiteral("v0.0.0 (build 0000)"), folder);
        UpdateController *controller = online.get();
        const auto state = [controller] { return controller->currentText(); };

        controller->checkForUpdates();
        const bool checked = waitUntil([&] { return state() != QStringLiteral("checking"); }, 60000);
        record("live_pagehost_feed_signature_and_schema_valid", checked && state() == QStringLiteral("available"));
        record("live_check_does_not_start_download", controller->downloadedPath().isEmpty() && !QFileInfo::exists(folder));
        if (state() != QStringLiteral("available"))
            return;

        bool cancelled = false;
        const auto connection = QObject::connect(controller, &UpdateController::changed, controller, [&] {
            if (!cancelled && state() == QStringLiteral("downloading") && controller->progress() > 0) {
                cancelled = true;
                controller->cancelDownload();
            }
        });
        controller->downloadUpdate();
        waitUntil([&] { return state() != QStringLiteral("downloading"); }, 120000);
        QObject::disconnect(connection);
        record("user_cancel_leaves_no_installable_partial",
               cancelled && state() == QStringLiteral("available") && controller->downloadedPath().isEmpty()
                   && QDir(folder).entryList(QDir::Files | QDir::Hidden).isEmpty());

        controller->downloadUpdate();
        const bool finished = waitUntil([&] { return state() != QStringLiteral("downloading"); }, 180000);
        const UpdateManifest &held = controller->manifest();
        record("requested_live_download_is_size_and_hash_verified",
               finished && state() == QStringLiteral("ready")
                   && UpdateController::verifyFile(controller->downloadedPath(), held.sha256, held.size));
        m_liveSummary = QJsonObject{{QStringLiteral("version"), held.version},
                                    {QStringLiteral("sha256"), held.sha256},
                                    {QStringLiteral("bytes"), double(held.size)},
                                    {QStringLiteral("state"), controller->currentText()},
                                    {QStringLiteral("error"), controller->errorText()}};
    }

    QDir m_fixtures;
    QString m_result;
    bool m_live;
    SelfTestReport m_report;
    UpdateManifest m_manifest;
    QString m_error;
    std::optional<QByteArray> m_valid;
    std::unique_ptr<QTemporaryDir> m_scratch;
    QString m_fixturePath;
    QString m_fixtureHash;
    std::unique_ptr<UpdateController> m_offline;
    QJsonObject m_liveSummary;
};

} // namespace

int runUpdateTests(const QString &fixtures, const QString &result, bool live)
{
    return UpdateRun(fixtures, result, live).run();
}
