#pragma once

#include <QUrl>

// The base address of the update feed. Every feed request and every download address is resolved
// against it; its host is fixed when the program is built.
QUrl updateFeedBaseUrl();

// Test seam: points the feed at a local server. An empty address restores the built-in one.
void overrideUpdateFeedBaseUrlForTests(const QUrl &url);
