#pragma once

#include <QDate>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

// Today's copy of the database in the backup folder beside it, and the rotation that keeps the 30 newest
// daily copies up to today.
class DailyBackup
{
public:
    // The day is the clock's today, taken once: a backup made across midnight keeps one name.
    DailyBackup(const QSqlDatabase &connection, const QString &databaseFile);

    QString target() const { return targetPath; }
    // The database file exists and today has no copy yet.
    bool due() const;
    // Makes today's copy, then rotates; the path of the copy, or empty when it failed. Lines for the
    // program log (a failed copy, copies dated after today) go to *notes when given.
    QString make(QStringList *notes);

private:
    bool copyTo(const QString &partial, QString *fault);
    void rotate(QStringList *notes);

    QSqlDatabase connection;
    QString databaseFile;
    QDate today;
    QString targetPath;
};
