#pragma once

#include <QString>

// The Link node runner (--link-test): a master, two followers, a node with a wrong code and three
// control stations live in this one process and talk over loopback TCP; one more node listens for
// the master's broadcast beacon. Fifteen cases in a fixed order, each building on the nodes the
// earlier ones started: keys, pairing, forged lines, the clock, show and media distribution,
// operators and permissions, discovery and stop. Returns 0 when every case passed, 2 when one
// failed, 3 when the report cannot be written.
int runLinkTests(const QString &fixtures, const QString &result);
