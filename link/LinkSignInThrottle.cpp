#include "link/LinkSignInThrottle.h"

#include <algorithm>

qint64 LinkSignInThrottle::lockedForMs(const QString &address, const QString &operatorName, qint64 nowMs)
{
    forgetOld(m_byAddress, nowMs);
    forgetOld(m_byOperator, nowMs);
    const qint64 untilMs = std::max(m_byAddress.value(address).lockedUntilMs,
                                    m_byOperator.value(operatorKey(operatorName)).lockedUntilMs);
    return std::max<qint64>(0, untilMs - nowMs);
}

void LinkSignInThrottle::recordFailure(const QString &address, const QString &operatorName, qint64 nowMs)
{
    fail(m_byAddress[address], nowMs);
    fail(m_byOperator[operatorKey(operatorName)], nowMs);
}

void LinkSignInThrottle::recordSuccess(const QString &operatorName)
{
    m_byOperator.remove(operatorKey(operatorName));
}

void LinkSignInThrottle::fail(Entry &entry, qint64 nowMs)
{
    entry.failures += 1;
    entry.lastFailureMs = nowMs;
    if (entry.failures < freeFailures)
        return;
    const int doublings = std::min(entry.failures - freeFailures, 20);
    entry.lockedUntilMs = nowMs + std::min(maxLockoutMs, firstLockoutMs << doublings);
}

void LinkSignInThrottle::forgetOld(QHash<QString, Entry> &table, qint64 nowMs)
{
    for (auto it = table.begin(); it != table.end();) {
        if (nowMs - it->lastFailureMs > forgetAfterMs)
            it = table.erase(it);
        else
            ++it;
    }
}
