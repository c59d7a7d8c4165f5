#pragma once

#include <QJsonArray>
#include <QSqlDatabase>
#include <QString>

class RowTable;
class RowsMemo;

// Reads the live rows of a data table as Records or into one compact block, straight from SQLite where
// it can. A memo or a block still current (nothing written since, by any connection) is given back
// without a statement. A reading that fails gives no rows at all, never the part read before the failure.
class RowReader
{
public:
    // opening tells this connection from an earlier one that may have had the same handle.
    RowReader(const QSqlDatabase &connection, quint64 opening)
        : connection(connection)
        , opening(opening)
    {
    }

    // Through QSqlQuery, with the driver's own conversions, where direct is false or the connection's
    // SQLite cannot be reached.
    QJsonArray records(const QString &table, RowsMemo *memo, bool direct, QString *error);
    bool readTable(const QString &table, RowTable *rows, QString *error);
    // The same compact reading on a read-only connection of its own to the file, so that it may run on
    // any thread while the program's connection goes on serving.
    static bool readTableFrom(const QString &file, const QString &table, RowTable *rows, QString *error);

private:
    QSqlDatabase connection;
    quint64 opening;
};
