#include "outputs/aes67/Aes67Addresses.h"

#include "outputs/audio/LocalAudioEngine.h"

#include <QNetworkInterface>
#include <QStringList>

QString defaultStreamAddress(const QString &interfaceAddress, int index)
{
    const QStringList parts = interfaceAddress.split(QLatin1Char('.'));
    const int host = parts.size() == 4 ? parts.at(3).toInt() : 1;
    return QStringLiteral("239.69.%1.%2").arg(host).arg(index + 1);
}

QString offsetStreamAddress(const QString &base, int index)
{
    QStringList parts = base.split(QLatin1Char('.'));
    if (parts.size() != 4)
        return base;
    parts[3] = QString::number((parts.at(3).toInt() + index) % 256);
    return parts.join(QLatin1Char('.'));
}

QList<AudioDeviceInfo> aes67Interfaces()
{
    QList<AudioDeviceInfo> devices;
    const auto wanted = QNetworkInterface::IsUp | QNetworkInterface::IsRunning | QNetworkInterface::CanMulticast;
    for (const QNetworkInterface &interface : QNetworkInterface::allInterfaces()) {
        if ((interface.flags() & wanted) != wanted || interface.flags().testFlag(QNetworkInterface::IsLoopBack))
            continue;
        for (const QNetworkAddressEntry &entry : interface.addressEntries()) {
            if (entry.ip().protocol() != QAbstractSocket::IPv4Protocol)
                continue;
            const QString address = entry.ip().toString();
            devices.append(AudioDeviceInfo{LocalAudioEngine::Aes67Network, address,
                                           QStringLiteral("%1 (%2)").arg(address, interface.humanReadableName()), 0});
        }
    }
    return devices;
}
