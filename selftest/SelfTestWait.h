#pragma once

#include <QObject>
#include <QString>
#include <functional>

// Waits that keep the GUI thread's event loop running, so the components under test deliver their
// frames, timers and socket events while a runner waits for them.

// Returns the condition evaluated once more after a final pass of event processing, either as soon
// as it held or when timeoutMs passed.
bool waitUntil(const std::function<bool()> &condition, int timeoutMs);

// Keeps the event loop running for ms milliseconds.
void pump(int ms);

// Copies every text that `signal` of `source` carries into *target (the source is the context,
// so the probe goes with it).
template <typename Source, typename Signal>
void captureErrorText(Source *source, Signal signal, QString *target)
{
    QObject::connect(source, signal, source, [target](const QString &text) { *target = text; });
}

// Adds one to *counter each time `signal` of `source` fires.
template <typename Source, typename Signal>
void countSignal(Source *source, Signal signal, int *counter)
{
    QObject::connect(source, signal, source, [counter]() { ++*counter; });
}
