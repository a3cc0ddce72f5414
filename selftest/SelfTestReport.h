#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

// The report that every built-in test runner fills case by case and writes once at its end.
// recordResult() is the runner's record step: it stamps the case's name and verdict into its
// details, keeps the case, folds the verdict into the overall result and logs one line.
class SelfTestReport
{
public:
    explicit SelfTestReport(const QString &scope);

    void recordResult(const QString &name, bool pass, QJsonObject details);
    // Keeps a case that the runner logs itself (or not at all); test must already hold its "name".
    void appendResult(QJsonObject test, bool pass);
    // Extra top-level members some runners report ("mode", "version").
    void setMember(const QString &key, const QJsonValue &value);
    // Sets "mode" from ZELVO_DECODE_MODE ("auto" when it is unset).
    void setDecodeMode();
    // How recordResult() logs a case: name, verdict and details; name and "true"/"false" only;
    // or not at all.
    enum class LogStyle { Details, Verdict, None };
    void setLogStyle(LogStyle style) { m_logStyle = style; }

    bool allPassed() const { return m_allPassed; }
    const QJsonArray &tests() const { return m_tests; }
    QJsonObject document() const;

    // Writes the indented report to resultPath, replacing the file only once the whole text is on
    // disk. Returns 0 when every case passed, 2 when one failed, 3 when the report cannot be written.
    int write(const QString &resultPath) const;

private:
    QString m_scope;
    QJsonArray m_tests;
    QJsonObject m_extra;
    bool m_allPassed = true;
    LogStyle m_logStyle = LogStyle::Details;
};
