#include "app/ChannelMonitor.h"

#include "engine/NativeChannel.h"

#include <QVideoSink>

ChannelMonitor::ChannelMonitor(NativeChannel *deck, QWidget *parent)
    : QVideoWidget(parent)
    , source(deck)
{
    setMinimumSize(0, 0);
    setAspectRatioMode(Qt::KeepAspectRatio);
    if (!deck)
        return;
    connect(deck, &NativeChannel::frameReady, this, [this](const QVideoFrame &frame) {
        if (isVisible())
            videoSink()->setVideoFrame(frame);
    });
}

void ChannelMonitor::showEvent(QShowEvent *event)
{
    QVideoWidget::showEvent(event);
    if (source && source->currentFrame().isValid())
        videoSink()->setVideoFrame(source->currentFrame());
}
