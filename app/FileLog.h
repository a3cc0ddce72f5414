#pragma once

#include <QtGlobal>

// Appends every log message, one line each ("category: message"), to the file named by
// ZELVO_LOG_PATH. The file is opened and closed for each message, so the log survives a crash and
// a change of the variable takes effect at the next message.
void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);
