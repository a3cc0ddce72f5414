#include "platform/media/MediaPipeline.h"

namespace {
constexpr int PlayingQueuedFrames = 3;  // 120 ms at 25 fps: rides out a late decode
constexpr qint64 MaxQueuedFrameBytes = 64LL * 1024 * 1024;
constexpr qint64 MaxQueuedAudioUs = 1000000;
constexpr int WantedVideoPackets = 50;
constexpr qint64 WantedAudioPacketUs = 1000000;
constexpr qint64 MaxPacketBytes = 64LL * 1024 * 1024;
constexpr qint64 FirstRetreatUs = 1000000;
constexpr qint64 LongestRetreatUs = 16000000;  // beyond this, decode from the start
}

MediaPipeline::MediaPipeline(std::function<void()> wakeOwner)
    : m_wakeOwner(std::move(wakeOwner))
{
}

void MediaPipeline::command(bool run, qint64 target, int loop)
{
    ++serial;
    active = run;
    targetUs = target;
    seekBackUs = 0;
    startLoop = loop;
    clearQueues();
    ownerWaiting = run;
    changed.notify_all();
}

void MediaPipeline::setPaused(bool paused, bool holding)
{
    queuedFramesWanted.store(!paused ? PlayingQueuedFrames : holding ? 0 : 1);
    changed.notify_all();
}

void MediaPipeline::clearQueues()
{
    videoPackets.clear();
    audioPackets.clear();
    videoFrames.clear();
    audioChunks.clear();
    m_videoBytes = 0;
    m_audioUs = 0;
}

bool MediaPipeline::wantsPackets() const
{
    if (videoPackets.bytes() + audioPackets.bytes() > MaxPacketBytes)
        return false;
    const bool videoLow = info.videoStream >= 0 && videoPackets.count() < WantedVideoPackets;
    const bool audioLow = info.audioStream >= 0 && audioPackets.durationUs() < WantedAudioPacketUs
                          && audioPackets.count() < 500;
    return videoLow || audioLow;
}

bool MediaPipeline::videoFramesFull() const
{
    return int(videoFrames.size()) + videoFramesWrapping >= queuedFramesWanted.load()
           || (videoFrames.size() >= 3 && m_videoBytes >= MaxQueuedFrameBytes);
}

bool MediaPipeline::audioChunksFull() const
{
    return m_audioUs >= MaxQueuedAudioUs;
}

bool MediaPipeline::pushVideo(VideoItem &&item, int itemSerial)
{
    if (itemSerial != serial || !active)
        return false;
    m_videoBytes += item.bytes;
    videoFrames.push_back(std::move(item));
    wakeOwnerIfWaiting();
    return true;
}

bool MediaPipeline::pushAudio(AudioItem &&item, int itemSerial)
{
    if (itemSerial != serial || !active)
        return false;
    m_audioUs += item.endUs - item.startUs;
    audioChunks.push_back(std::move(item));
    wakeOwnerIfWaiting();
    return true;
}

bool MediaPipeline::retreat(int itemSerial)
{
    if (!retreatAllowed || itemSerial != serial || !active || targetUs <= 0 || seekBackUs >= targetUs)
        return false;
    seekBackUs = seekBackUs == 0 ? FirstRetreatUs : seekBackUs * 2;
    if (seekBackUs > LongestRetreatUs || seekBackUs > targetUs)
        seekBackUs = targetUs;
    ++serial;
    clearQueues();
    changed.notify_all();
    return true;
}

MediaPipeline::VideoItem MediaPipeline::popVideo()
{
    VideoItem item = std::move(videoFrames.front());
    videoFrames.pop_front();
    m_videoBytes -= item.bytes;
    changed.notify_all();
    return item;
}

MediaPipeline::AudioItem MediaPipeline::popAudio()
{
    AudioItem item = std::move(audioChunks.front());
    audioChunks.pop_front();
    m_audioUs -= item.endUs - item.startUs;
    changed.notify_all();
    return item;
}

void MediaPipeline::wakeOwner()
{
    if (!m_wakePosted.exchange(true))
        m_wakeOwner();
}

void MediaPipeline::wakeOwnerIfWaiting()
{
    if (!ownerWaiting)
        return;
    ownerWaiting = false;
    wakeOwner();
}
