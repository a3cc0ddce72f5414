#include "outputs/aes67/Aes67Config.h"

#include <algorithm>

namespace {

// Clamped before the conversion, so no JSON number (1e300 included) overflows the int.
int clampedNumber(const QJsonObject &options, const char *key, int fallback, int low, int high)
{
    const QJsonValue value = options.value(QLatin1String(key));
    if (!value.isDouble())
        return fallback;
    return int(std::clamp(value.toDouble(), double(low), double(high)));
}

QString sessionName(const QJsonObject &options, const QString &fallback)
{
    const QJsonValue value = options.value(QLatin1String("name"));
    if (!value.isString())
        return fallback;
    QString name = value.toString().trimmed();
    if (name.size() > Aes67Config::MaxNameLength) {
        // Never leave half of a surrogate pair at the cut.
        const int cut = name.at(Aes67Config::MaxNameLength - 1).isHighSurrogate() ? Aes67Config::MaxNameLength - 1
                                                                                  : Aes67Config::MaxNameLength;
        name.truncate(cut);
    }
    return name.isEmpty() ? fallback : name;
}

} // namespace

Aes67Config readAes67Config(const QJsonObject &options, const QString &interfaceAddress)
{
    Aes67Config config;
    config.interfaceAddress = interfaceAddress;
    config.name = sessionName(options, config.name);
    const QJsonValue multicast = options.value(QLatin1String("multicast"));
    if (multicast.isString())
        config.multicast = multicast.toString().trimmed();
    config.channels = clampedNumber(options, "channels", config.channels, 1, 64);
    config.ttl = clampedNumber(options, "ttl", config.ttl, 1, 255);
    config.latencyMs = clampedNumber(options, "latencyMs", config.latencyMs, 1, 20);
    config.domain = clampedNumber(options, "domain", config.domain, 0, 127);
    const QString ptp = options.value(QLatin1String("ptp")).toString();
    config.ptpMode = ptp == QLatin1String("slave") ? 1 : ptp == QLatin1String("master") ? 2 : 0;
    return config;
}
