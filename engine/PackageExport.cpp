#include "engine/PackageExport.h"

#include "engine/ShowFile.h"

#include <QDir>
#include <QSaveFile>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

PackageExport::PackageExport(const Show &show, const QStringList &mediaPaths, const QString &target,
                             const QString &name, QObject *parent)
    : QObject(parent)
    , m_show(show)
    , m_mediaPaths(mediaPaths)
    , m_target(target)
    , m_name(name)
{
    connect(&m_watcher, &QFutureWatcher<PackageResult>::finished, this, [this] { complete(); });
}

PackageExport::~PackageExport()
{
    m_shared->cancel = true;
    m_watcher.waitForFinished();
}

bool PackageExport::start()
{
    m_plan = planPackage(m_mediaPaths, m_target, m_name);
    QDir().mkpath(m_target);
    if (!packageFits(m_target, m_plan.totalBytes)) {
        m_status = Status::NoRoom;
        return false;
    }
    m_status = Status::Copying;
    const std::shared_ptr<Shared> shared = m_shared;
    const PackagePlan plan = m_plan;
    m_watcher.setFuture(QtConcurrent::run(QThreadPool::globalInstance(), [shared, plan] {
        return copyPackageMedia(plan, &shared->copiedBytes, &shared->cancel);
    }));
    return true;
}

void PackageExport::cancel()
{
    m_shared->cancel = true;
}

qint64 PackageExport::copiedBytes() const
{
    return m_shared->copiedBytes.load();
}

QStringList PackageExport::notIncluded() const
{
    return m_plan.missing + m_result.failed;
}

QString PackageExport::showFile() const
{
    return m_status == Status::Written ? m_plan.showFile : QString();
}

void PackageExport::complete()
{
    m_result = m_watcher.result();
    if (m_result.cancelled) {
        m_status = Status::Cancelled;
    } else {
        Show show = m_show;
        rewritePackagePaths(show, m_plan, m_result.failed);
        const QByteArray bytes = showDocumentBytes(show);
        QSaveFile file(m_plan.showFile);
        const bool written = file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size()
                             && file.commit();
        m_status = written ? Status::Written : Status::WriteFailed;
    }
    emit finished();
}
