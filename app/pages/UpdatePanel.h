#pragma once

#include <QFrame>
#include <functional>

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class UpdateController;

// The Updates tab of the Settings page: the running version, the update state with the release
// notes of an offered update and the download progress, and the check, download, cancel and
// install commands. It holds no update state of its own: every refresh re-reads the controller,
// and installing goes through the window's guarded install action. GUI thread only.
class UpdatePanel : public QFrame
{
public:
    UpdatePanel(UpdateController *controller, std::function<QString(const QString &)> translate,
                std::function<void()> requestInstall, QWidget *parent = nullptr);
    ~UpdatePanel() override;

    void refresh();

    QPushButton *checkButton() const { return check; }
    QPushButton *downloadButton() const { return download; }
    QPushButton *cancelButton() const { return cancel; }
    QPushButton *installButton() const { return install; }
    QString stateText() const;
    QString notesText() const;
    QProgressBar *progressBar() const { return progress; }

private:
    UpdateController *controller;
    std::function<QString(const QString &)> translate;
    std::function<void()> requestInstall;
    QLabel *version = nullptr;
    QLabel *state = nullptr;
    QPlainTextEdit *notes = nullptr;
    QProgressBar *progress = nullptr;
    QPushButton *check = nullptr;
    QPushButton *download = nullptr;
    QPushButton *cancel = nullptr;
    QPushButton *install = nullptr;
    QLabel *hint = nullptr;
};
