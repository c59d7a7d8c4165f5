#pragma once

#include "storage/rowtable.h"

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

// A live row that a reference column may point at, with the texts the operator may name it by: its
// name, and its path or the text the data page shows for it.
struct ReferenceTarget
{
    QString id;
    QStringList names;
};

// What an import is planned against: the table as it is now and the rows its references may name.
struct ImportBasis
{
    // Every live row of the table.
    RowTable rows;
    // Rows of the table that are soft-deleted; an imported row with such an id brings it back.
    QSet<QString> deletedIds;
    // The live rows of each table that the table's reference columns point at, by table key.
    QHash<QString, QList<ReferenceTarget>> targets;
};

// One row of the file that will be written.
struct ImportRow
{
    int line = 0;
    int record = 0;
    bool isNew = false;
    // A new row: the whole Record, its id empty when one is to be made. An existing row: its id and the
    // columns that change.
    QJsonObject values;
};

// Why a row of the file will not be written.
struct ImportError
{
    int line = 0;
    int record = 0;
    // The column's header text; empty for a fault of the whole row.
    QString column;
    QString reason;
};

// What an import of a file into one table would do, decided before anything is written.
struct ImportPlan
{
    QString table;
    // Why the file cannot be imported into the table at all; empty otherwise.
    QString refusal;
    // The columns of the table that the file names, in the file's order.
    QStringList columns;
    // Header texts of the file that name no column that is taken.
    QStringList ignored;
    // The rows to write, in the file's order.
    QList<ImportRow> rows;
    int unchanged = 0;
    QList<ImportError> errors;
    // Other things the operator should know, such as an id given twice.
    QStringList notes;

    int inserts() const
    {
        int count = 0;
        for (const ImportRow &row : rows)
            count += row.isNew ? 1 : 0;
        return count;
    }
    int updates() const { return int(rows.size()) - inserts(); }
    // The records with at least one error, in the file's order.
    QList<int> errorRecords() const
    {
        QList<int> records;
        for (const ImportError &error : errors) {
            if (records.isEmpty() || records.last() != error.record)
                records.append(error.record);
        }
        return records;
    }
};
