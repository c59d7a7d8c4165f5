#include "storage/csvimport.h"

#include "catalogue/catalogue.h"
#include "catalogue/records.h"
#include "storage/database.h"
#include "storage/recordwriter.h"
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

QList<ReferenceTarget> CsvImport::targetsOf(const QString &table, const QJsonArray &liveRows)
{
    const bool tree = isTreeTable(table);
    const bool items = table == QLatin1String("items");
    const QString kind =
        table == QLatin1String("categories") ? QStringLiteral("（分类）") : QStringLiteral("（存放处）");
    QHash<QString, TreeNode> nodes;
    if (tree) {
        for (const QJsonValue &value : liveRows) {
            const QJsonObject row = value.toObject();
            nodes.insert(recordText(row, QStringLiteral("id")), TreeNode{recordText(row, QStringLiteral("name")),
                                                                         recordText(row, QStringLiteral("parentId"))});
        }
    }
    QList<ReferenceTarget> targets;
    targets.reserve(liveRows.size());
    for (const QJsonValue &value : liveRows) {
        const QJsonObject row = value.toObject();
        ReferenceTarget target{recordText(row, QStringLiteral("id")), {}};
        const QString name = recordText(row, QStringLiteral("name"));
        target.names.append(name);
        if (tree) {
            target.names.append(treePath(nodes, target.id));
            target.names.append(name + kind);
        } else if (items) {
            const QString barcode = recordText(row, QStringLiteral("barcode"));
            if (!barcode.isEmpty())
                target.names << barcode << QStringLiteral("%1（%2）").arg(name, barcode);
        }
        targets.append(target);
    }
    return targets;
}
