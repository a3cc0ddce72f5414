#pragma once

#include <QtGlobal>

// How late a render call comes against the pace of the calls before it. A backend that falls
// behind (a sender thread that was not scheduled, a sound server that took no data for a while)
// calls render() late and then in a quick burst until its stream has caught up; the stream itself
// stays continuous, so the read positions must not be corrected for that lateness: each one-frame
// correction would be an audible break. The lateness is how far the time elapsed since the first
// call runs ahead of the frames rendered, above the smallest such lead of the last 125 to 250 ms
// (the calls that came on time). A catch-up is over well within that; a lasting difference, a
// stream that really lost time or a device clock that runs at another rate, lifts the smallest lead
// within 250 ms and is then corrected again. Used only by the thread that calls render(); reset by
// start() and by a backend whose stream starts again after a gap.
class RenderPacing
{
public:
    void reset();
    // Frames this call is late (never negative); `nowUs` is the call clock, `frames` the call's size.
    qint64 lateFrames(qint64 nowUs, int frames);

private:
    static constexpr qint64 bucketUs = 125000;

    bool m_started = false;
    qint64 m_originUs = 0;
    qint64 m_renderedFrames = 0;
    qint64 m_bucket = 0;
    qint64 m_currentMin = 0;
    qint64 m_previousMin = 0;
};
