#pragma once

#include <QHash>
#include <QString>
#include <QtGlobal>

// Slows down PIN guessing at a master: failed operator sign-ins are counted per peer address and
// per operator name, and after a few free mistakes each further failure locks that address or name
// out for a time that doubles up to five minutes. While either is locked, a sign-in is refused
// without looking at its proof. A failure record is forgotten half an hour after its last failure.
// The clock is passed in, so the policy is testable without waiting. GUI thread only.
class LinkSignInThrottle
{
public:
    static constexpr int freeFailures = 3;
    static constexpr qint64 firstLockoutMs = 1000;
    static constexpr qint64 maxLockoutMs = 300000;
    static constexpr qint64 forgetAfterMs = 1800000;

    // Milliseconds until a sign-in from address as operatorName may be tried, 0 when it may now.
    qint64 lockedForMs(const QString &address, const QString &operatorName, qint64 nowMs);
    void recordFailure(const QString &address, const QString &operatorName, qint64 nowMs);
    // A good sign-in clears that operator's count; the address keeps its own, so one valid
    // account does not reset the guesses made from that machine.
    void recordSuccess(const QString &operatorName);

private:
    struct Entry
    {
        int failures = 0;
        qint64 lastFailureMs = 0;
        qint64 lockedUntilMs = 0;
    };
    static QString operatorKey(const QString &name) { return name.trimmed().toLower(); }
    static void fail(Entry &entry, qint64 nowMs);
    void forgetOld(QHash<QString, Entry> &table, qint64 nowMs);

    QHash<QString, Entry> m_byAddress;
    QHash<QString, Entry> m_byOperator;
};
