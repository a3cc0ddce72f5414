#pragma once

// Announce floods for the PTP tests and benchmark: every message comes from a new source identity,
// multicast to the PTP general port on the loopback interface.

#include "outputs/aes67/PtpClock.h"
#include "outputs/aes67/PtpMessage.h"

#include <QtEndian>
#include <algorithm>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

class LoopbackAnnounceFlood
{
public:
    explicit LoopbackAnnounceFlood(int domain)
    {
        m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        in_addr lo{};
        inet_pton(AF_INET, "127.0.0.1", &lo);
        setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_IF, &lo, sizeof lo);
        m_group.sin_family = AF_INET;
        m_group.sin_port = htons(PtpClock::GeneralPort);
        inet_pton(AF_INET, "224.0.1.129", &m_group.sin_addr);
        m_announce.messageType = PtpMessage::Announce;
        m_announce.domainNumber = quint8(domain);
        m_announce.priority1 = 255; // worse than any real master
        m_announce.clockClass = 255;
    }
    ~LoopbackAnnounceFlood()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    LoopbackAnnounceFlood(const LoopbackAnnounceFlood &) = delete;
    LoopbackAnnounceFlood &operator=(const LoopbackAnnounceFlood &) = delete;

    bool isOpen() const { return m_fd >= 0; }

    // Sends the i-th Announce, from a source and grandmaster identity of its own; true when sent whole.
    bool send(quint32 i)
    {
        m_announce.sourcePortIdentity = {0x0E, 0, 0, 0, 0, 0, 0, 0, 0, 1};
        qToBigEndian(i, m_announce.sourcePortIdentity.data() + 3);
        std::copy_n(m_announce.sourcePortIdentity.begin(), 8, m_announce.grandmasterIdentity.begin());
        m_announce.sequenceId = quint16(i);
        const QByteArray bytes = m_announce.encode();
        return ::sendto(m_fd, bytes.constData(), size_t(bytes.size()), 0, reinterpret_cast<const sockaddr *>(&m_group),
                        sizeof m_group) == bytes.size();
    }

private:
    int m_fd = -1;
    sockaddr_in m_group{};
    PtpMessage m_announce;
};
