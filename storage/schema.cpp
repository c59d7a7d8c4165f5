#include "storage/schema.h"

#include "catalogue/catalogue.h"

#include <QStringList>

namespace schema {

const QList<Table> &tables()
{
    static const QList<Table> all = [] {
        QList<Table> result;
        for (const TableInfo &table : ::tables()) {
            QStringList columns;
            for (int i = 0; i < table.columns.size(); ++i)
                columns << table.columns.at(i) + QLatin1Char(' ') + table.declarations.at(i);
            // Storage's own columns: when the master last wrote the row, and whether it is deleted (a
            // deleted row stays, marked).
            columns << QStringLiteral("serverUpdatedAt TEXT") << QStringLiteral("deleted INTEGER DEFAULT 0");
            result.append({table.key, QStringLiteral("CREATE TABLE IF NOT EXISTS %1 (%2)")
                                          .arg(table.key, columns.join(QStringLiteral(", ")))});
        }
        result.append({QStringLiteral("versions"),
                       QStringLiteral(
                           "CREATE TABLE IF NOT EXISTS versions (id INTEGER PRIMARY KEY AUTOINCREMENT, "
                           "createdAt TEXT NOT NULL, reason TEXT, source TEXT, counts TEXT, snapshot TEXT NOT NULL)")});
        // The bytes of each version's snapshot, noted as it is stored, so that the versions' size is read
        // without reading the snapshots: a version without its row is noted later (noteMissingSizes).
        result.append({QStringLiteral("version_sizes"),
                       QStringLiteral("CREATE TABLE IF NOT EXISTS version_sizes (versionId INTEGER PRIMARY KEY, "
                                      "bytes INTEGER NOT NULL)")});
        result.append({QStringLiteral("sync_log"),
                       QStringLiteral("CREATE TABLE IF NOT EXISTS sync_log (id INTEGER PRIMARY KEY AUTOINCREMENT, "
                                      "createdAt TEXT NOT NULL, peer TEXT, direction TEXT, summary TEXT)")});
        return result;
    }();
    return all;
}

} // namespace schema
