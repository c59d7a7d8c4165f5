#include "storage/csvimport.h"

#include "catalogue/catalogue.h"
#include "catalogue/records.h"
#include "storage/database.h"
#include "storage/recordwriter.h"
#include "storage/rowtable.h"
#include "storage/storagefault.h"

#include <QHash>
#include <QSqlError>
#include <QSqlQuery>

bool CsvImport::deletedIds(const QString &table, QSet<QString> *ids, QString *error)
{
    if (!findTable(table))
        return false;
    QSqlQuery query(connection);
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT id FROM %1 WHERE deleted <> 0").arg(table))) {
        storagefault::report(error, storagefault::describe(query.lastError()));
        return false;
    }
    while (query.next())
        ids->insert(query.value(0).toString());
    return true;
}

bool CsvImport::write(const TableInfo &table, const QList<ImportRow> &rows, QString *error)
{
    RecordWriter inserter(connection, table);
    const bool stampsUpdate = table.columns.contains(QStringLiteral("updatedAt"));
    // Rows of one file mostly change the same columns: one prepared statement per set of them.
    QHash<QString, QSqlQuery> updaters;
    for (const ImportRow &row : rows) {
        if (row.isNew) {
            if (!inserter.write(row.values)) {
                storagefault::report(error, QStringLiteral("第 %1 行：%2").arg(row.line).arg(inserter.errorText()));
                return false;
            }
            continue;
        }
        QStringList columns;
        for (const QString &column : table.columns) {
            if (column != QLatin1String("id") && row.values.contains(column))
                columns.append(column);
        }
        const QString key = columns.join(QLatin1Char(','));
        auto updater = updaters.find(key);
        if (updater == updaters.end()) {
            QStringList assignments;
            for (qsizetype i = 0; i < columns.size(); ++i)
                assignments.append(QStringLiteral("%1 = :v%2").arg(columns.at(i)).arg(i));
            assignments.append(QStringLiteral("deleted = 0"));
            if (stampsUpdate)
                assignments.append(QStringLiteral("updatedAt = :now"));
            assignments.append(QStringLiteral("serverUpdatedAt = :now"));
            updater = updaters.insert(key, QSqlQuery(connection));
            if (!updater->prepare(QStringLiteral("UPDATE %1 SET %2 WHERE id = :id")
                                      .arg(table.key, assignments.join(QStringLiteral(", "))))) {
                storagefault::report(error, storagefault::describe(updater->lastError()));
                return false;
            }
        }
        for (qsizetype i = 0; i < columns.size(); ++i)
            updater->bindValue(QStringLiteral(":v%1").arg(i), Database::toSqlValue(row.values.value(columns.at(i))));
        updater->bindValue(QStringLiteral(":now"), RecordWriter::stampNow());
        updater->bindValue(QStringLiteral(":id"), recordId(row.values));
        if (!updater->exec()) {
            storagefault::report(
                error, QStringLiteral("第 %1 行：%2").arg(row.line).arg(storagefault::describe(updater->lastError())));
            return false;
        }
    }
    return true;
}

QList<ReferenceTarget> CsvImport::targetsOf(const RowTable &liveRows)
{
    const QString table = liveRows.tableKey();
    const bool tree = isTreeTable(table);
    const QString kind =
        table == QLatin1String("categories") ? QStringLiteral("（分类）") : QStringLiteral("（存放处）");
    const int idColumn = liveRows.columnIndex(QStringLiteral("id"));
    const int nameColumn = liveRows.columnIndex(QStringLiteral("name"));
    const int parentColumn = liveRows.columnIndex(QStringLiteral("parentId"));
    const int barcodeColumn = liveRows.columnIndex(QStringLiteral("barcode"));
    QHash<QString, TreeNode> nodes;
    if (tree) {
        for (int row = 0; row < liveRows.rowCount(); ++row)
            nodes.insert(liveRows.text(row, idColumn),
                         TreeNode{liveRows.text(row, nameColumn), liveRows.text(row, parentColumn)});
    }
    QList<ReferenceTarget> targets;
    targets.reserve(liveRows.rowCount());
    for (int row = 0; row < liveRows.rowCount(); ++row) {
        ReferenceTarget target{liveRows.text(row, idColumn), {}};
        const QString name = liveRows.text(row, nameColumn);
        target.names.append(name);
        if (tree) {
            target.names << treePath(nodes, target.id) << name + kind;
        } else if (barcodeColumn >= 0) {
            const QString barcode = liveRows.text(row, barcodeColumn);
            if (!barcode.isEmpty())
                target.names << barcode << QStringLiteral("%1（%2）").arg(name, barcode);
        }
        targets.append(target);
    }
    return targets;
}
