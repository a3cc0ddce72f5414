#pragma once

#include "outputs/network/NdiRuntimeTypes.h"

#include <QLibrary>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

// The NDI runtime, loaded at run time rather than linked, so that a machine without it still runs
// everything else. Construction finds and loads the library, resolves every entry point and
// initialises the runtime; when any step fails, `initialised` stays false and `error` says why.
// After construction the object is read-only and its entry points may be called from any thread
// the runtime allows.
class NdiApi
{
public:
    // Loads from the standard locations (candidateFiles() over the process environment and the
    // application directory).
    NdiApi();
    // Loads the first of these files that exists and loads; a name without a directory is left to
    // the dynamic linker's search path.
    explicit NdiApi(const QStringList &candidates);
    ~NdiApi();
    NdiApi(const NdiApi &) = delete;
    NdiApi &operator=(const NdiApi &) = delete;

    // Where the runtime is looked for, in order: the file named by ZELVO_NDI_RUNTIME, then
    // libndi.so.6 and libndi.so.5 in the application directory, in NDI_RUNTIME_DIR_V6 and in
    // NDI_RUNTIME_DIR_V5, then both names on the system library path. `env` reads a variable
    // (an empty text counts as unset).
    static QStringList candidateFiles(const QString &applicationDir,
                                      const std::function<QString(const char *)> &env);

    QLibrary library;
    QString path;
    QString version;
    QString error;
    bool initialised = false;

    NDIlib_initialize_fn NDIlib_initialize = nullptr;
    NDIlib_destroy_fn NDIlib_destroy = nullptr;
    NDIlib_version_fn NDIlib_version = nullptr;
    NDIlib_send_create_fn NDIlib_send_create = nullptr;
    NDIlib_send_destroy_fn NDIlib_send_destroy = nullptr;
    NDIlib_send_send_video_v2_fn NDIlib_send_send_video_v2 = nullptr;
    NDIlib_send_send_audio_v2_fn NDIlib_send_send_audio_v2 = nullptr;
    NDIlib_send_get_source_name_fn NDIlib_send_get_source_name = nullptr;
    NDIlib_send_get_no_connections_fn NDIlib_send_get_no_connections = nullptr;
    NDIlib_recv_create_v3_fn NDIlib_recv_create_v3 = nullptr;
    NDIlib_recv_destroy_fn NDIlib_recv_destroy = nullptr;
    NDIlib_recv_capture_v2_fn NDIlib_recv_capture_v2 = nullptr;
    NDIlib_recv_free_video_v2_fn NDIlib_recv_free_video_v2 = nullptr;
    NDIlib_recv_free_audio_v2_fn NDIlib_recv_free_audio_v2 = nullptr;
    NDIlib_find_create_v2_fn NDIlib_find_create_v2 = nullptr;
    NDIlib_find_destroy_fn NDIlib_find_destroy = nullptr;
    NDIlib_find_get_current_sources_fn NDIlib_find_get_current_sources = nullptr;

private:
    void load(const QStringList &candidates);
    bool loadFirst(const QStringList &candidates);
    bool resolveAll();
};

// The one NDI runtime of the process, loaded on the first call (from any thread, once). A failed
// load is not retried: the same error stands until the program restarts.
std::shared_ptr<NdiApi> sharedNdiApi();
