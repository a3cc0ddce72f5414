#pragma once

#include <QPointer>
#include <QWidget>

// Frame of one monitor picture on the desk: keeps its content widget (a deck's video view or the
// sample picture) a centred 16:9 box on black, whatever space the layout gives it. The content
// becomes the monitor's child; the monitor only places it. GUI thread only.
class DeskMonitor : public QWidget
{
public:
    explicit DeskMonitor(QWidget *content);

    QWidget *content() const { return contentWidget; }

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    QPointer<QWidget> contentWidget;
};
