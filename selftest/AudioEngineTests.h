#pragma once

#include <QString>

// The low-latency local audio engine test runner (--audio-engine-test): two looping Program decks
// routed through the engine on its test backend, whose render routine the runner drives itself and
// measures per output channel; then the ALSA device list, a loopback through a virtual cable when
// one is installed, and an informational ASIO probe. Returns 0 when every case passed, 2 when one
// failed, 3 when the report cannot be written.
int runAudioEngineTests(const QString &fixtures, const QString &result);
