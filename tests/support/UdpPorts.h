#pragma once

#include <QtGlobal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// A UDP socket bound to 0.0.0.0:port without address reuse, to hold a port or to learn whether it
// is free; -1 when the port is taken.
inline int bindExclusive(int port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(quint16(port));
    if (fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr *>(&any), sizeof any) == 0)
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}
