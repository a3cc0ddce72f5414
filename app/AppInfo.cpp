#include "app/AppInfo.h"

#ifndef ZELVO_SOURCE_COMMIT
#define ZELVO_SOURCE_COMMIT "0000000000000000000000000000000000000000"
#endif

QString AppInfo::sourceCommit()
{
    return QStringLiteral(ZELVO_SOURCE_COMMIT);
}
