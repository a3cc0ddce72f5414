#include "app/MainWindow.h"

// Show files, cue edits, recovery, packages and relinking are built with the show logic; until
// those land, each action tells the operator it is not available instead of pretending to work.

bool MainWindow::openShow()
{
    setStatus(QStringLiteral("Not available"));
    return false;
}

bool MainWindow::openShowFile(const QString &)
{
    setStatus(QStringLiteral("Not available"));
    return false;
}

bool MainWindow::saveShow(bool)
{
    setStatus(QStringLiteral("Not available"));
    return false;
}

void MainWindow::exportShowPackage()
{
    setStatus(QStringLiteral("Not available"));
}

void MainWindow::offerRecovery()
{
}

void MainWindow::autosave()
{
}

QString MainWindow::recoveryShowPath() const
{
    return QString();
}

QString MainWindow::recoveryMetaPath() const
{
    return QString();
}

void MainWindow::scanFolder(const QString &)
{
    setStatus(QStringLiteral("Not available"));
}

void MainWindow::relinkMedia()
{
    setStatus(QStringLiteral("Not available"));
}

bool MainWindow::applyEditedCue()
{
    setStatus(QStringLiteral("Not available"));
    return false;
}
