#include "app/FileLog.h"

#include <QFile>
#include <QMutex>
#include <QTextStream>

void messageHandler(QtMsgType, const QMessageLogContext &context, const QString &message)
{
    static QMutex mutex;
    QMutexLocker lock(&mutex);
    QFile file(qEnvironmentVariable("ZELVO_LOG_PATH"));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text))
        return;
    QTextStream out(&file);
    out << (context.category ? context.category : "default") << ": " << message << Qt::endl;
}
