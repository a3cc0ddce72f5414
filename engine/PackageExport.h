#pragma once

#include "engine/Show.h"
#include "engine/ShowPackage.h"

#include <QFutureWatcher>
#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>

// One show package export: the plan and the free-space check on the GUI thread, the media copy on
// the global thread pool, then the show file with its rewritten paths back on the GUI thread.
//
// The show is taken when the export is made, together with the media list that the plan names, so
// the written package always holds the show it was made for, even when the window's show changes
// while the copy runs. The byte counter and the cancel flag are shared with the worker through a
// reference-counted block, so the worker never outlives what it touches; destroying a running
// export cancels the copy and waits for the worker. Lives on the GUI thread.
class PackageExport : public QObject
{
    Q_OBJECT
public:
    enum class Status { Idle, Copying, Written, NoRoom, Cancelled, WriteFailed };

    PackageExport(const Show &show, const QStringList &mediaPaths, const QString &target,
                  const QString &name, QObject *parent = nullptr);
    ~PackageExport() override;

    // Plans, creates the package folder and checks the free space. Starts the copy and returns
    // true, or returns false with status NoRoom (only the empty package folder was created).
    bool start();
    void cancel();

    Status status() const { return m_status; }
    const PackagePlan &plan() const { return m_plan; }
    qint64 copiedBytes() const;
    const PackageResult &result() const { return m_result; }
    // What the package lacks: the media missing when planned, then the failed copies.
    QStringList notIncluded() const;
    // The written show file; empty unless the status is Written.
    QString showFile() const;

signals:
    // The export ended: written, cancelled or failed to write the show file.
    void finished();

private:
    struct Shared
    {
        std::atomic<qint64> copiedBytes{0};
        std::atomic<bool> cancel{false};
    };

    void complete();

    Show m_show;
    QStringList m_mediaPaths;
    QString m_target;
    QString m_name;
    PackagePlan m_plan;
    PackageResult m_result;
    Status m_status = Status::Idle;
    std::shared_ptr<Shared> m_shared = std::make_shared<Shared>();
    QFutureWatcher<PackageResult> m_watcher;
};
