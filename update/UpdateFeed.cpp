#include "update/UpdateFeed.h"

#ifndef ZELVO_UPDATE_FEED_BASE_URL
#error "ZELVO_UPDATE_FEED_BASE_URL is set by update/CMakeLists.txt"
#endif

namespace {
QUrl &overriddenBaseUrl()
{
    static QUrl url;
    return url;
}
} // namespace

QUrl updateFeedBaseUrl()
{
    if (!overriddenBaseUrl().isEmpty())
        return overriddenBaseUrl();
    static const QUrl builtIn(QStringLiteral(ZELVO_UPDATE_FEED_BASE_URL));
    return builtIn;
}

void overrideUpdateFeedBaseUrlForTests(const QUrl &url)
{
    overriddenBaseUrl() = url;
}
