#include "outputs/network/NdiApi.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFileInfo>
#include <dlfcn.h>

namespace {

const char *const libraryNames[] = {"libndi.so.6", "libndi.so.5"};

template <typename Function>
bool resolveInto(QLibrary &library, const char *name, Function &target)
{
    target = reinterpret_cast<Function>(library.resolve(name));
    return target != nullptr;
}

// The file the dynamic linker actually mapped, for a library found on the search path.
QString mappedFile(const void *symbol)
{
    Dl_info info{};
    if (symbol && dladdr(symbol, &info) && info.dli_fname)
        return QFileInfo(QString::fromLocal8Bit(info.dli_fname)).absoluteFilePath();
    return {};
}

} // namespace

NdiApi::NdiApi()
{
    load(candidateFiles(QCoreApplication::applicationDirPath(),
                        [](const char *name) { return qEnvironmentVariable(name); }));
}

NdiApi::NdiApi(const QStringList &candidates)
{
    load(candidates);
}

NdiApi::~NdiApi()
{
    if (initialised)
        NDIlib_destroy();
}

QStringList NdiApi::candidateFiles(const QString &applicationDir,
                                   const std::function<QString(const char *)> &env)
{
    QStringList files;
    const QString explicitFile = env("ZELVO_NDI_RUNTIME");
    if (!explicitFile.isEmpty())
        files << explicitFile;
    QStringList dirs{applicationDir};
    for (const char *variable : {"NDI_RUNTIME_DIR_V6", "NDI_RUNTIME_DIR_V5"}) {
        const QString dir = env(variable);
        if (!dir.isEmpty())
            dirs << dir;
    }
    for (const QString &dir : dirs) {
        for (const char *name : libraryNames)
            files << dir + QLatin1Char('/') + QLatin1String(name);
    }
    for (const char *name : libraryNames)
        files << QLatin1String(name);
    return files;
}

void NdiApi::load(const QStringList &candidates)
{
    if (!loadFirst(candidates)) {
        error = QStringLiteral("NDI runtime not found. Install the official NDI Runtime.");
        return;
    }
    if (!resolveAll()) {
        error = QStringLiteral("NDI runtime API is incomplete");
        return;
    }
    if (!path.contains(QLatin1Char('/')))
        path = mappedFile(reinterpret_cast<const void *>(NDIlib_initialize));
    if (!NDIlib_initialize()) {
        error = QStringLiteral("NDI initialization failed");
        return;
    }
    initialised = true;
    const char *text = NDIlib_version();
    version = text ? QString::fromUtf8(text) : QString();
}

bool NdiApi::loadFirst(const QStringList &candidates)
{
    // The runtime stays mapped for the life of the process, whatever happens to this object.
    library.setLoadHints(QLibrary::PreventUnloadHint);
    for (const QString &candidate : candidates) {
        const bool onSearchPath = !candidate.contains(QLatin1Char('/'));
        if (!onSearchPath && !QFileInfo(candidate).isFile())
            continue;
        library.setFileName(candidate);
        if (library.load()) {
            path = onSearchPath ? candidate : QFileInfo(candidate).absoluteFilePath();
            return true;
        }
        if (!onSearchPath)
            qInfo().noquote() << "NDI runtime candidate did not load:" << library.errorString();
    }
    return false;
}

bool NdiApi::resolveAll()
{
    return resolveInto(library, "NDIlib_initialize", NDIlib_initialize)
        && resolveInto(library, "NDIlib_destroy", NDIlib_destroy)
        && resolveInto(library, "NDIlib_version", NDIlib_version)
        && resolveInto(library, "NDIlib_send_create", NDIlib_send_create)
        && resolveInto(library, "NDIlib_send_destroy", NDIlib_send_destroy)
        && resolveInto(library, "NDIlib_send_send_video_v2", NDIlib_send_send_video_v2)
        && resolveInto(library, "NDIlib_send_send_audio_v2", NDIlib_send_send_audio_v2)
        && resolveInto(library, "NDIlib_send_get_source_name", NDIlib_send_get_source_name)
        && resolveInto(library, "NDIlib_send_get_no_connections", NDIlib_send_get_no_connections)
        && resolveInto(library, "NDIlib_recv_create_v3", NDIlib_recv_create_v3)
        && resolveInto(library, "NDIlib_recv_destroy", NDIlib_recv_destroy)
        && resolveInto(library, "NDIlib_recv_capture_v2", NDIlib_recv_capture_v2)
        && resolveInto(library, "NDIlib_recv_free_video_v2", NDIlib_recv_free_video_v2)
        && resolveInto(library, "NDIlib_recv_free_audio_v2", NDIlib_recv_free_audio_v2)
        && resolveInto(library, "NDIlib_find_create_v2", NDIlib_find_create_v2)
        && resolveInto(library, "NDIlib_find_destroy", NDIlib_find_destroy)
        && resolveInto(library, "NDIlib_find_get_current_sources", NDIlib_find_get_current_sources);
}

std::shared_ptr<NdiApi> sharedNdiApi()
{
    static const std::shared_ptr<NdiApi> instance = std::make_shared<NdiApi>();
    return instance;
}
