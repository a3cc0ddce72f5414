#pragma once

#include <QString>

// One Program as the web monitor offers it to viewers; filled by the programs provider that the
// owner of the server hands it.
struct WebProgramInfo
{
    int id = 0;
    QString name;
    QString media;  // file name of the media on the Program's deck, empty when none
    bool onAir = false;
    bool playing = false;
};
