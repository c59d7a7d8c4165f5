#include "app/instancelock.h"

#include <QDir>
#include <QFileInfo>
#include <QMessageBox>

InstanceLock::InstanceLock(const QString &path)
    : path(path)
    , lock(path)
{
    // Never stale by age alone: a holder on this computer is checked by its process, and one on another
    // computer sharing the folder keeps its lock however long it runs.
    lock.setStaleLockTime(0);
}

bool InstanceLock::tryLock()
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    // A folder that takes no lock file takes no database writes either; the database check reports that.
    return lock.tryLock(0) || lock.error() != QLockFile::LockFailedError;
}

bool InstanceLock::claim()
{
    if (tryLock())
        return true;

    qint64 pid = 0;
    QString host;
    QString application;
    lock.getLockInfo(&pid, &host, &application);
    QMessageBox::critical(nullptr, QStringLiteral("程序已在运行"),
                          QStringLiteral("电脑主库已经从这个文件夹启动（进程号 %1），正在使用 %2 里的数据库。\n"
                                         "同一个文件夹同时只能运行一个电脑主库，请切换到已经打开的窗口。")
                              .arg(pid)
                              .arg(QDir::toNativeSeparators(QFileInfo(path).absolutePath())));
    return false;
}
