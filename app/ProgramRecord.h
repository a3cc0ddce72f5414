#pragma once

#include "engine/NativeChannel.h"
#include "engine/PlaylistController.h"
#include "outputs/network/NetworkBus.h"

// The engine of one Program other than Program A: its deck, the playlist sequencer on that deck
// and the NDI/OMT senders fed by it. Lives on the GUI thread and is owned by MainWindow through a
// unique pointer. The members are declared in dependency order so that destruction runs senders,
// then the sequencer, then the deck: nothing outlives the deck it reads.
struct ProgramRecord
{
    explicit ProgramRecord(int programId)
        : id(programId)
    {
    }

    int id;
    NativeChannel channel{false};
    PlaylistController playlist{&channel};
    NetworkBus network{&channel};
};
