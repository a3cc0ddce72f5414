#pragma once

#include <QPointer>
#include <QVideoWidget>

class NativeChannel;

// The live picture of one deck on the desk: a video widget fed with the deck's published frames,
// only while it is visible, so hidden monitors (another page, a collapsed tile) cost nothing. It
// holds a guarded pointer, so a deck that goes first leaves a black monitor rather than a dangling
// one. GUI thread only.
class ChannelMonitor : public QVideoWidget
{
public:
    explicit ChannelMonitor(NativeChannel *deck, QWidget *parent = nullptr);
    NativeChannel *deck() const { return source.data(); }

protected:
    // A monitor that comes into view shows the deck's latest picture at once, so a paused deck
    // that published its frame while the monitor was hidden is not shown with an older one.
    void showEvent(QShowEvent *event) override;

private:
    QPointer<NativeChannel> source;
};
