#pragma once

#include <QtGlobal>
#include <deque>

struct AVPacket;

// FIFO of demuxed packets for one stream, with their size and duration. A null packet marks the end
// of the stream for one pass through the file (`loop`); `more` says the demuxer goes on with the next
// pass. Not thread-safe: the owning MediaPipeline's mutex guards it.
class PacketQueue
{
public:
    struct Entry
    {
        AVPacket *packet = nullptr;
        int serial = 0;
        int loop = 0;
        bool more = false;
    };

    PacketQueue() = default;
    ~PacketQueue();
    PacketQueue(const PacketQueue &) = delete;
    PacketQueue &operator=(const PacketQueue &) = delete;

    void push(const Entry &entry, qint64 durationUs);
    Entry pop();  // ownership of the packet passes to the caller
    void clear();
    bool isEmpty() const { return m_entries.empty(); }
    int count() const { return int(m_entries.size()); }
    qint64 bytes() const { return m_bytes; }
    qint64 durationUs() const { return m_durationUs; }

private:
    struct Stored
    {
        Entry entry;
        qint64 durationUs = 0;
    };
    std::deque<Stored> m_entries;
    qint64 m_bytes = 0;
    qint64 m_durationUs = 0;
};
