#pragma once

#include "outputs/network/OmtRuntimeTypes.h"

#include <QLibrary>
#include <QString>
#include <memory>

// The OMT runtime, loaded at run time rather than linked. Its video codec library is loaded first,
// from the runtime's own folder, so that the runtime's dependency on it is met by the copy that
// ships beside it. When any step fails, `initialised` stays false and `error` says why. After
// construction the object is read-only.
class OmtApi
{
public:
    // Loads the runtime named by ZELVO_OMT_RUNTIME, or libomt.so in the application directory.
    OmtApi();
    explicit OmtApi(const QString &runtimeFile);
    ~OmtApi();
    OmtApi(const OmtApi &) = delete;
    OmtApi &operator=(const OmtApi &) = delete;

    // The runtime file: `configured` when it is not empty, else libomt.so in applicationDir.
    static QString runtimeFile(const QString &applicationDir, const QString &configured);

    QLibrary library;
    QLibrary codec;
    QString path;
    QString error;
    bool initialised = false;

    omt_send_create_fn omt_send_create = nullptr;
    omt_send_destroy_fn omt_send_destroy = nullptr;
    omt_send_fn omt_send = nullptr;
    omt_send_getaddress_fn omt_send_getaddress = nullptr;
    omt_send_connections_fn omt_send_connections = nullptr;
    omt_receive_create_fn omt_receive_create = nullptr;
    omt_receive_destroy_fn omt_receive_destroy = nullptr;
    omt_receive_fn omt_receive = nullptr;
    omt_discovery_getaddresses_fn omt_discovery_getaddresses = nullptr;
    omt_setloggingfilename_fn omt_setloggingfilename = nullptr;
    omt_shutdown_fn omt_shutdown = nullptr;

private:
    void load(const QString &runtimeFile);
    bool resolveAll();
};

// The one OMT runtime of the process, loaded on the first call (from any thread, once). A failed
// load is not retried.
std::shared_ptr<OmtApi> sharedOmtApi();

// Points OMT_STORAGE_PATH at "omt" under the program's state directory (ZELVO_STATE_DIR, else the
// writable local data location) and creates that folder, unless the environment already names a
// storage path. It writes the process environment, which is not safe while other threads read it,
// so main calls it once, right after publishing the state directory and before any thread starts;
// the loader itself never touches the environment.
void prepareOmtStoragePath();
