#include "app/AppStyle.h"

#include <QFile>

QString applicationStyleSheet()
{
    // The style sheet lives in the app library's resources, which a static library only links
    // when something refers to them.
    Q_INIT_RESOURCE(style);
    QFile file(QStringLiteral(":/style/style.qss"));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}
