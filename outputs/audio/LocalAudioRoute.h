#pragma once

#include "engine/NativeChannel.h"

#include <QPointer>

// What the owner hands to LocalAudioEngine::setRoutes(): one Program deck and the first of the two
// output channels (0-based) that carry its stereo program audio.
struct LocalAudioRoute
{
    QPointer<NativeChannel> deck;
    int firstChannel = 0;
};
