#pragma once

#include <QJsonObject>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

class RecordSource;

// What a merge wrote: rows per table and the summary lines shown to phones and in the sync log.
struct MergeResult
{
    QJsonObject perTable;
    QStringList details;
    // Why nothing of the document was stored; empty when the merge was stored whole.
    QString error;
    // The write lock could not be taken (another program holds it, or the file takes no writes): a
    // note of the failure could not be written either, and trying would only wait out the lock again.
    bool writeLockRefused = false;
};

// Writes a pushed document into the master's data tables: items, categories, locations and customers
// where the pushed row is newer than the master's, transactions and relations where the master has no
// row of that id. The caller holds the transaction around it.
class Merger
{
public:
    explicit Merger(const QSqlDatabase &connection)
        : connection(connection)
    {
    }

    // Stops at a fault of the database and gives its reason in fault; a refused row is skipped.
    bool mergeTables(const RecordSource &source, MergeResult *result, QString *fault);

private:
    int mergeNewer(const RecordSource &source, const QString &table, const QString &timestampColumn, QString *fault);
    int mergeMissing(const RecordSource &source, const QString &table, QString *fault);

    QSqlDatabase connection;
};
