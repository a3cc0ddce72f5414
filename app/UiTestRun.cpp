#include "app/UiTestRun.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QEvent>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPushButton>
#include <QSaveFile>
#include <QThread>
#include <QWidget>

UiTestRun::UiTestRun(const QString &fixtures, const QString &result)
    : clipA(QFileInfo(QDir(fixtures).filePath(QStringLiteral("01-h264.mp4"))).absoluteFilePath())
    , clipB(QFileInfo(QDir(fixtures).filePath(QStringLiteral("03-h264.mkv"))).absoluteFilePath())
    , folder(QFileInfo(result).absolutePath())
    , base(QFileInfo(result).completeBaseName())
    , resultPath(result)
{
}

void UiTestRun::record(const QString &name, bool pass)
{
    cases.append(QJsonObject{{QStringLiteral("name"), name}, {QStringLiteral("pass"), pass}});
    passed = passed && pass;
    qInfo().noquote() << name << (pass ? "true" : "false");
}

void UiTestRun::fail(const QString &name, const QString &why)
{
    qInfo().noquote() << name << "cannot run:" << why;
    record(name, false);
}

int UiTestRun::write() const
{
    const QJsonObject report{{QStringLiteral("result"), passed ? QStringLiteral("PASS") : QStringLiteral("FAIL")},
                             {QStringLiteral("scope"), QStringLiteral("ui")},
                             {QStringLiteral("tests"), cases}};
    QSaveFile file(resultPath);
    if (!file.open(QIODevice::WriteOnly))
        return 3;
    const QByteArray text = QJsonDocument(report).toJson(QJsonDocument::Indented);
    if (file.write(text) != text.size() || !file.commit())
        return 3;
    return passed ? 0 : 2;
}

namespace {
void slice()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QThread::msleep(2);
}
}

void UiTestRun::pump(int ms)
{
    QElapsedTimer clock;
    clock.start();
    const QDeadlineTimer hardLimit(ms + 1000);
    while (clock.elapsed() < ms && !hardLimit.hasExpired())
        slice();
}

bool UiTestRun::waitUntil(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition() && clock.elapsed() < timeoutMs)
        slice();
    slice();
    return condition();
}

QString UiTestRun::output(const QString &prefix, const QString &suffix) const
{
    return QDir(folder).filePath(prefix + base + suffix);
}

QString UiTestRun::fixture(const QString &name) const
{
    return QFileInfo(clipA).dir().filePath(name);
}

Cue UiTestRun::cueFor(const QString &path)
{
    Cue cue;
    cue.source = path;
    cue.in_ms = 0;
    cue.out_ms = -1;
    cue.transition = 0;
    cue.transition_ms = 300;
    cue.enter_ms = 0;
    cue.exit_ms = 0;
    return cue;
}

bool UiTestRun::inside(const QWidget *widget, const QWidget *area)
{
    if (!widget || !area || !widget->isVisible())
        return false;
    const QRect mapped(widget->mapTo(area, QPoint(0, 0)), widget->size());
    return area->rect().contains(mapped);
}

QPushButton *UiTestRun::tipButton(const QWidget *parent, const QString &tip, const QVariant &deckKey)
{
    if (!parent)
        return nullptr;
    for (QPushButton *button : parent->findChildren<QPushButton *>()) {
        if (button->property("tipKey").toString() != tip)
            continue;
        if (deckKey.isNull() || button->property("deckKey") == deckKey)
            return button;
    }
    return nullptr;
}
