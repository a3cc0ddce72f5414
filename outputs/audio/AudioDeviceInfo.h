#pragma once

#include <QString>

// One entry of LocalAudioEngine::devices(): a device that a backend of the given type can open.
struct AudioDeviceInfo
{
    int backendType = 0;
    QString id;
    QString name;
    int channels = 2;
};
