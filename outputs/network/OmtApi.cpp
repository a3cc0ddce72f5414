#include "outputs/network/OmtApi.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace {

template <typename Function>
bool resolveInto(QLibrary &library, const char *name, Function &target)
{
    target = reinterpret_cast<Function>(library.resolve(name));
    return target != nullptr;
}

} // namespace

OmtApi::OmtApi()
{
    load(runtimeFile(QCoreApplication::applicationDirPath(), qEnvironmentVariable("ZELVO_OMT_RUNTIME")));
}

OmtApi::OmtApi(const QString &runtimeFile)
{
    load(runtimeFile);
}

OmtApi::~OmtApi()
{
    if (initialised)
        omt_shutdown();
}

QString OmtApi::runtimeFile(const QString &applicationDir, const QString &configured)
{
    return configured.isEmpty() ? applicationDir + QStringLiteral("/libomt.so") : configured;
}

void OmtApi::load(const QString &runtimeFile)
{
    const QFileInfo runtime(runtimeFile);
    // Both libraries stay mapped for the life of the process, whatever happens to this object.
    codec.setLoadHints(QLibrary::PreventUnloadHint);
    library.setLoadHints(QLibrary::PreventUnloadHint);
    codec.setFileName(runtime.absolutePath() + QStringLiteral("/libvmx.so"));
    if (!codec.load()) {
        qInfo().noquote() << "OMT codec did not load:" << codec.errorString();
        error = QStringLiteral("OMT video codec unavailable. Reinstall the OMT libraries.");
        return;
    }
    library.setFileName(runtime.absoluteFilePath());
    if (!library.load()) {
        qInfo().noquote() << "OMT runtime did not load:" << library.errorString();
        error = QStringLiteral("OMT runtime not found. Install the OMT libraries.");
        return;
    }
    path = runtime.absoluteFilePath();
    if (!resolveAll()) {
        error = QStringLiteral("OMT runtime API is incomplete");
        return;
    }
    omt_setloggingfilename(nullptr);
    initialised = true;
}

bool OmtApi::resolveAll()
{
    return resolveInto(library, "omt_send_create", omt_send_create)
        && resolveInto(library, "omt_send_destroy", omt_send_destroy)
        && resolveInto(library, "omt_send", omt_send)
        && resolveInto(library, "omt_send_getaddress", omt_send_getaddress)
        && resolveInto(library, "omt_send_connections", omt_send_connections)
        && resolveInto(library, "omt_receive_create", omt_receive_create)
        && resolveInto(library, "omt_receive_destroy", omt_receive_destroy)
        && resolveInto(library, "omt_receive", omt_receive)
        && resolveInto(library, "omt_discovery_getaddresses", omt_discovery_getaddresses)
        && resolveInto(library, "omt_setloggingfilename", omt_setloggingfilename)
        && resolveInto(library, "omt_shutdown", omt_shutdown);
}

std::shared_ptr<OmtApi> sharedOmtApi()
{
    static const std::shared_ptr<OmtApi> instance = std::make_shared<OmtApi>();
    return instance;
}

void prepareOmtStoragePath()
{
    if (!qEnvironmentVariableIsEmpty("OMT_STORAGE_PATH"))
        return;
    // An empty state directory must not turn into "/omt" at the file system root.
    QString base = qEnvironmentVariable("ZELVO_STATE_DIR");
    if (base.isEmpty())
        base = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    const QString dir = base + QStringLiteral("/omt");
    if (!QDir().mkpath(dir))
        qWarning().noquote() << "OMT storage folder could not be created:" << dir;
    qputenv("OMT_STORAGE_PATH", dir.toUtf8());
}
