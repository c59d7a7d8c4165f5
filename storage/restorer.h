#pragma once

#include <QJsonObject>
#include <QString>

#include <functional>

class Database;

// Puts a backup in place of the database: the current file is set aside in the backup folder first, the
// copy is checked beside the database before it takes the file's name, and every step lasts on the disk
// before the next relies on it. On failure the database is as it was, open again.
class Restorer
{
public:
    using Progress = std::function<void(const QString &stage, qint64 done, qint64 total)>;

    Restorer(Database &database, const Progress &progress);

    // The path of the copy set aside goes to *setAsidePath; on failure error says why.
    bool restore(const QString &backupFile, QString *setAsidePath, QString *error);

    // Reading a copy: each opens it read-only on a connection of its own, so they may run on any thread.
    // Live rows per table key; false with the reason when the file is no database of this program.
    static bool backupCounts(const QString &file, QJsonObject *counts, QString *error);
    // "ok", or what PRAGMA quick_check or the opening reported.
    static QString quickCheck(const QString &file);

private:
    // Each step gives false once it has put the database back as it was and said why.
    bool setAsideCurrent();
    bool copyIn(const QString &chosen);
    bool dropOldLog();
    bool takeItsPlace(QString *setAsidePath);
    // Reopens the database as it was, the copy set aside gone again; always false.
    bool reopen(const QString &why);
    // After the swap: the copy set aside goes back in place of the restored file, then reopen().
    bool putBack(const QString &madeAside, const QString &failure);

    Database &database;
    Progress progress;
    QString *error = nullptr;
    QString master;
    QString wal;
    QString shm;
    QString incoming;
    // The copy set aside while a failure must still remove it.
    QString aside;
};
