#include "platform/media/PacketQueue.h"

extern "C" {
#include <libavcodec/packet.h>
}

PacketQueue::~PacketQueue()
{
    clear();
}

void PacketQueue::push(const Entry &entry, qint64 durationUs)
{
    m_entries.push_back({entry, durationUs});
    m_bytes += entry.packet ? entry.packet->size : 0;
    m_durationUs += durationUs;
}

PacketQueue::Entry PacketQueue::pop()
{
    Stored front = m_entries.front();
    m_entries.pop_front();
    m_bytes -= front.entry.packet ? front.entry.packet->size : 0;
    m_durationUs -= front.durationUs;
    return front.entry;
}

void PacketQueue::clear()
{
    for (Stored &stored : m_entries)
        av_packet_free(&stored.entry.packet);
    m_entries.clear();
    m_bytes = 0;
    m_durationUs = 0;
}
