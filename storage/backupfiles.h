#pragma once

#include <QDate>
#include <QDateTime>
#include <QList>
#include <QString>

// A copy in the backup folder: a daily one, or one set aside before a restore.
struct BackupInfo
{
    QString path;
    QString fileName;
    // The day of a daily copy (at midnight), the moment of a copy set aside.
    QDateTime madeAt;
    bool setAside = false;
    qint64 size = 0;
};

// The names of the copies in the backup folder beside the database: "plindor-YYYYMMDD.db" for the copy
// of a day, "plindor-恢复前-YYYYMMDD-HHmmss.db" for the database as it was before a restore.
namespace backupfiles {

QString folderBeside(const QString &databaseFile);

QString dailyName(const QDate &day);
// The day of a daily copy; an invalid date for any other name.
QDate dailyDay(const QString &fileName);

QString setAsideName(const QDateTime &moment);
bool isSetAside(const QString &fileName);

// The daily copies and the copies set aside in folder, newest first.
QList<BackupInfo> list(const QString &folder);
// Every name a copy of either kind may have, and others besides: a file pattern for QDir.
QString pattern();

} // namespace backupfiles
