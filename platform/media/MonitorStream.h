#pragma once

#include <QByteArray>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

typedef struct _snd_pcm snd_pcm_t;

// One local monitoring stream: 48 kHz stereo float sound played through ALSA (`default`, or the
// PulseAudio plugin's `pulse` device for a chosen sink), fed from a small ring that the player
// fills on its own thread.
//
// The stream has a thread of its own, which alone opens, writes and closes the PCM, so nothing that
// the sound library calls back can ever outlive the object: the destructor joins the thread, and the
// thread closes the PCM before it ends. The player steers it only through the ring and a few fields
// under one mutex. While the stream is wanted the thread keeps the PCM running, writing silence when
// the ring is empty, so pauses, seeks and loop restarts only empty the ring (drop()) and never reopen
// the device. The PCM is opened when the stream becomes wanted and closed when it stops being wanted
// or its device changes; a refused or lost device marks the stream failed until the next change.
class MonitorStream
{
public:
    MonitorStream();
    ~MonitorStream();
    MonitorStream(const MonitorStream &) = delete;
    MonitorStream &operator=(const MonitorStream &) = delete;

    // The ALSA device to play on and whether sound is wanted at all. A new device, or wanting sound
    // again, clears a failure.
    void configure(const QByteArray &device, bool wanted);
    void setVolume(float volume);
    // Interleaved stereo float samples in playing order. When the ring is full the oldest sound goes,
    // which keeps the delay of the monitor bounded.
    void write(const QByteArray &samples);
    // Drops the sound queued in the ring (pause, seek, loop restart); the device keeps running.
    void drop();

    bool isOpen() const { return m_open.load(); }
    bool hasFailed() const;
    // PCM opens since construction (a test seam: seeking or looping must not reopen the device).
    quint64 opens() const { return m_opens.load(); }

    static constexpr int Rate = 48000;
    static constexpr int Channels = 2;

private:
    void run();
    bool openPcm(const QByteArray &device);
    void closePcm();
    // Copies up to `frames` frames of the ring into `out` at the current volume, silence for the rest.
    void takeFrames(float *out, long frames);
    // Writes a period; false when the device was lost or failed.
    bool writePeriod(const float *samples, long frames);

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_quit = false;
    bool m_wanted = false;
    bool m_failed = false;
    QByteArray m_device;
    std::vector<float> m_ring;  // interleaved frames, a power of two long
    quint64 m_readFrame = 0;    // ring positions in frames, growing without wrap
    quint64 m_writeFrame = 0;
    std::atomic<float> m_volume{1.0f};
    std::atomic<bool> m_open{false};
    std::atomic<quint64> m_opens{0};

    // Owned by the stream's thread.
    snd_pcm_t *m_pcm = nullptr;
    QByteArray m_openDevice;
    long m_periodFrames = 0;
    std::vector<float> m_period;
    std::thread m_thread;
};
