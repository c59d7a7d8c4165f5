#pragma once

#include <QSqlDatabase>
#include <QString>

#include <functional>

class Database;

// Rewrites the database file to its live size: a compact copy is written beside it on a connection of
// its own, then put in its place durably, as a restore puts a backup. On failure the database is as it
// was, open again, and the copy gone.
class Compactor
{
public:
    using Progress = std::function<void(const QString &stage, qint64 done, qint64 total)>;

    Compactor(Database &database, const QSqlDatabase &connection, const Progress &progress);

    // The file's size before and after go to *before and *after.
    bool compact(qint64 *before, qint64 *after, QString *error);

private:
    bool writeCopy(const QString &copy, qint64 expected, QString *why);
    bool reopen(const QString &why, QString *error);

    Database &database;
    QSqlDatabase connection;
    Progress progress;
    QString master;
};
