#pragma once

#include <QString>

// The one style sheet of the application, compiled into the program: colours and fonts of every
// page, keyed by the object names and dynamic properties (onAir, health, channel, selected) that
// the window gives its widgets. Read once at start-up on the GUI thread.
QString applicationStyleSheet();
