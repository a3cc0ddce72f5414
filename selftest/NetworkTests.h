#pragma once

#include <QString>

// The network output test runner (--network-test): frame-order rules of an NDI receiver, the program
// audio mixer, the audio a playing deck publishes, the NDI and OMT runtime loaders, and a loopback
// in which the program's own senders are received back in process. Returns 0 when every case
// passed, 2 when one failed, 3 when the report cannot be written.
int runNetworkTests(const QString &fixtures, const QString &result);
