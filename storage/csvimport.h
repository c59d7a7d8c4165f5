#pragma once

#include "storage/importplan.h"

#include <QList>
#include <QSet>
#include <QSqlDatabase>
#include <QString>

class RowTable;
struct TableInfo;

// The database's side of a CSV import: what the plan is made against, and the writing of its rows.
// The version, the transaction and the sync-log row around the writing are the Database's.
class CsvImport
{
public:
    explicit CsvImport(const QSqlDatabase &connection)
        : connection(connection)
    {
    }

    // The ids of the table's soft-deleted rows; false with the reason when they cannot be read.
    bool deletedIds(const QString &table, QSet<QString> *ids, QString *error);

    // Writes the planned rows; new rows must have their ids. Stops at the first row that fails.
    bool write(const TableInfo &table, const QList<ImportRow> &rows, QString *error);

    // The live rows of a table as references name them: by name, by path for a tree, by barcode and
    // "name（barcode）" for an item, and by what the data page shows for a parent.
    static QList<ReferenceTarget> targetsOf(const RowTable &liveRows);

private:
    QSqlDatabase connection;
};
