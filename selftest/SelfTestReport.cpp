#include "selftest/SelfTestReport.h"

#include <QJsonDocument>
#include <QLoggingCategory>
#include <QSaveFile>

SelfTestReport::SelfTestReport(const QString &scope) : m_scope(scope) {}

void SelfTestReport::recordResult(const QString &name, bool pass, QJsonObject details)
{
    details.insert(QStringLiteral("name"), name);
    details.insert(QStringLiteral("pass"), pass);
    m_tests.append(details);
    m_allPassed = m_allPassed && pass;
    if (m_logStyle == LogStyle::Verdict)
        qInfo().noquote() << name << (pass ? "true" : "false");
    else if (m_logStyle == LogStyle::Details)
        qInfo().noquote() << name << (pass ? "PASS" : "FAIL")
                          << QString::fromUtf8(QJsonDocument(details).toJson(QJsonDocument::Compact));
}

void SelfTestReport::appendResult(QJsonObject test, bool pass)
{
    test.insert(QStringLiteral("pass"), pass);
    m_tests.append(test);
    m_allPassed = m_allPassed && pass;
}

void SelfTestReport::setMember(const QString &key, const QJsonValue &value)
{
    m_extra.insert(key, value);
}

void SelfTestReport::setDecodeMode()
{
    setMember(QStringLiteral("mode"), qEnvironmentVariableIsSet("ZELVO_DECODE_MODE")
                                          ? qEnvironmentVariable("ZELVO_DECODE_MODE")
                                          : QStringLiteral("auto"));
}

QJsonObject SelfTestReport::document() const
{
    QJsonObject doc = m_extra;
    doc.insert(QStringLiteral("result"), m_allPassed ? QStringLiteral("PASS") : QStringLiteral("FAIL"));
    doc.insert(QStringLiteral("tests"), m_tests);
    doc.insert(QStringLiteral("scope"), m_scope);
    return doc;
}

int SelfTestReport::write(const QString &resultPath) const
{
    // QJsonObject keeps its keys sorted, and QSaveFile replaces an older report only after the
    // new one is complete: a failed write never leaves a truncated report behind that could be
    // read as a verdict.
    if (resultPath.isEmpty())
        return 3;
    QSaveFile file(resultPath);
    if (!file.open(QIODevice::WriteOnly))
        return 3;
    const QByteArray text = QJsonDocument(document()).toJson(QJsonDocument::Indented);
    if (file.write(text) != text.size() || !file.commit())
        return 3;
    return m_allPassed ? 0 : 2;
}
