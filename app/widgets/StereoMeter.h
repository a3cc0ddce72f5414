#pragma once

#include <QWidget>

class NativeChannel;
class QTimer;

// Left/right level meter of a deck's program audio: 28 segments per channel, green, yellow and red
// by level, with peak hold that decays by 0.72 every 80 ms tick. The deck's audioMeter signal only
// raises the raw peaks; the GUI-thread tick turns them into the drawn levels, so a burst of meter
// signals costs no repaints. In sample mode it shows fixed levels for the layout board.
class StereoMeter : public QWidget
{
public:
    static constexpr int segmentCount = 28;
    static constexpr int tickMs = 80;
    static constexpr float decay = 0.72f;

    StereoMeter(NativeChannel *channel, int sampleLevels, QWidget *parent = nullptr);

    // Raises the raw peaks since the last tick (the deck's meter signal lands here).
    void feed(float left, float right);
    // One decay step; the meter's timer calls it every tickMs.
    void tick();

    float levelLeft() const { return shownLeft; }
    float levelRight() const { return shownRight; }

    // Segments lit for a linear amplitude: -60 dB and below lights none, 0 dB all 28.
    static int litSegments(float level);
    // Horizontal pitch of the segments at a given widget width (at least 1).
    static int segmentPitch(int width);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    float rawLeft = 0;
    float rawRight = 0;
    float shownLeft = 0;
    float shownRight = 0;
    bool sampleLevels = false;
    QTimer *timer = nullptr;
};
