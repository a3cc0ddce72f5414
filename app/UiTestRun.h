#pragma once

#include "engine/Cue.h"

#include <QJsonArray>
#include <QString>
#include <functional>

class QPushButton;
class QWidget;

// The state of one user-interface self-test run on the main window: the ordered list of case
// verdicts, the fixture clips, the output folder with the base name that every written file
// carries, and the few values one case hands to a later one. Lives on the GUI thread for the
// length of the run. The window's own library sits below the self-test runners, so the run keeps
// its own event-pumping waits and report writer instead of reaching up to theirs; they behave the
// same way (10 ms slices of event processing with deferred deletions, 2 ms sleeps).
class UiTestRun
{
public:
    UiTestRun(const QString &fixtures, const QString &result);

    // Appends {name, pass}, folds pass into the overall verdict and logs "name true|false".
    void record(const QString &name, bool pass);
    // Names the case's missing precondition in the log, then records it as failed.
    void fail(const QString &name, const QString &why);
    bool allPassed() const { return passed; }
    const QJsonArray &tests() const { return cases; }

    // Writes the indented report; 0 when all passed, 2 when one failed, 3 when it cannot be written.
    int write() const;

    static void pump(int ms);
    static bool waitUntil(const std::function<bool()> &condition, int timeoutMs);

    // A file in the output folder: prefix, base name, suffix.
    QString output(const QString &prefix, const QString &suffix) const;
    QString fixture(const QString &name) const;
    // A cue the runner builds: In 0, Out at the end, cut, 300 ms, no fades.
    static Cue cueFor(const QString &path);

    // True when the widget is visible and its rectangle mapped into `area` lies wholly inside it.
    static bool inside(const QWidget *widget, const QWidget *area);
    // The push button below parent whose tipKey is tip (and deckKey is deckKey unless it is null).
    static QPushButton *tipButton(const QWidget *parent, const QString &tip, const QVariant &deckKey);

    QString clipA;
    QString clipB;
    QString folder;
    QString base;

    // Values that one stretch of cases leaves for a later one.
    int engineRoutesWithFive = -1;
    bool fifthExternalWithFive = false;
    bool fifthDeckDetached = false;
    int programCId = -1;

private:
    QString resultPath;
    QJsonArray cases;
    bool passed = true;
};
