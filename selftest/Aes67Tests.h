#pragma once

#include <QString>

// The AES67 network audio runner (--aes67-test): the SDP and SAP builders, three PTP clocks in
// their roles on test domain 93, then the engine's AES67 sender playing a looping Program deck,
// received back by the runner's own RTP checker, PTP observer clock and SAP listener, all on this
// computer. Returns 0 when every case passed, 2 when one failed, 3 when the report cannot be
// written.
int runAes67Tests(const QString &fixtures, const QString &result);
