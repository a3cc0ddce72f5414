#pragma once

#include "engine/AudioPacket.h"

#include <QByteArray>
#include <QRecursiveMutex>
#include <array>
#include <limits>
#include <vector>

// Mixes the decoded audio of a deck's two player slots into one stereo program signal.
// Each slot has a one-second ring addressed by program frame index (48 kHz) and an envelope of fade
// in, fade out and end. Writers run on the GUI thread and everything is guarded by one recursive
// mutex. The low-latency audio engine's device thread mixes through tryMix(), which never waits:
// a GUI thread preempted while it holds the lock must not stall the device, so a busy lock gives
// one block of silence instead. Nothing on the mixing path allocates.
class ProgramAudioMixer
{
public:
    static constexpr int ringFrames = 48000;
    static constexpr qint64 noEnd = std::numeric_limits<qint64>::max();

    struct Row
    {
        qint64 enterStartUs = 0;
        qint64 enterLengthUs = 0;
        qint64 exitStartUs = -1;
        qint64 exitLengthUs = 0;
        qint64 endUs = noEnd;
        bool fadeThroughBlack = false;
        std::vector<float> samples = std::vector<float>(2 * ringFrames, 0.0f);
        std::vector<qint64> stamps = std::vector<qint64>(ringFrames, -1);

        // Back to no fades and no end; the ring is left as it is.
        void resetEnvelope();
    };

    ProgramAudioMixer() = default;

    void push(int slot, const float *interleaved, int frames, qint64 firstFrame);
    void flush(int slot);  // -1 flushes both rows
    void mix(qint64 firstFrame, int frames, float volume, bool silenced, float *out, int *missing);
    // mix() for real-time threads: when a writer holds the lock, the block is silent, every frame
    // counts as missing and false comes back at once.
    bool tryMix(qint64 firstFrame, int frames, float volume, bool silenced, float *out, int *missing);
    AudioPacket mixPacket(qint64 firstFrame, int frames, float volume, bool silenced);
    float envelopeAt(int row, qint64 programUs) const;
    // Moves a row's envelope by d microseconds; callers hold the lock.
    void shiftTimeline(int row, qint64 d);

    // The deck writes the envelope fields directly, always while holding this lock.
    QRecursiveMutex &mutex() { return m_mutex; }
    Row &row(int index) { return m_rows[index]; }
    const Row &row(int index) const { return m_rows[index]; }

    static int ringIndex(qint64 frame);

private:
    void mixLocked(qint64 firstFrame, int frames, float volume, bool silenced, float *out, int *missing) const;

    mutable QRecursiveMutex m_mutex;
    std::array<Row, 2> m_rows;
};

// The same samples, all left ones first, then all right ones.
QByteArray planarStereo(const QByteArray &interleaved);
