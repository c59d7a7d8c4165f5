#pragma once

#include <QDate>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

// Today's copy of the database in the backup folder beside it, and the rotation that keeps the newest
// daily copies up to today.
class DailyBackup
{
public:
    // The day is the clock's today, taken once: a backup made across midnight keeps one name.
    DailyBackup(const QSqlDatabase &connection, const QString &databaseFile, int kept = 30);

    QString target() const { return targetPath; }
    // The database file exists and today has no copy yet.
    bool due() const;
    // Makes today's copy, then rotates; the path of the copy, or empty when it failed. Lines for the
    // program log (a failed copy, copies dated after today) go to *notes when given. A copy that would
    // leave the disk too full is not begun.
    QString make(QStringList *notes);
    // The daily copies the rotation removes now, oldest first.
    QStringList surplus() const;
    // Removes them; how many went.
    int rotate(QStringList *notes);

private:
    bool copyTo(const QString &partial, QString *fault);

    QSqlDatabase connection;
    QString databaseFile;
    QDate today;
    int kept;
    QString targetPath;
};
