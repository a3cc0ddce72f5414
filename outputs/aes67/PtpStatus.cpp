#include "outputs/aes67/PtpStatus.h"

QJsonObject PtpStatus::toJson() const
{
    return QJsonObject{
        {"locked", locked},
        {"grandmaster_here", grandmasterHere},
        {"grandmaster", grandmaster},
        {"domain", domain},
        {"offset_us", offsetUs},
        {"path_delay_us", pathDelayUs},
        {"rate_ppm", ratePpm},
        {"steps", QJsonValue(steps)},
    };
}
