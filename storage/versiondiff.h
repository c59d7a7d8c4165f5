#pragma once

#include "storage/snapshotreader.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>

// One row that differs between two snapshots: where it stands in each, and for a changed row which of
// its table's columns changed, one bit per column of the catalogue.
struct RowDiff
{
    enum Kind : quint8 {
        Added,
        Deleted,
        Changed
    };

    Kind kind = Changed;
    // The element's index in the older and the newer snapshot, -1 where the row is not there.
    qsizetype before = -1;
    qsizetype after = -1;
    quint32 fields = 0;

    bool changes(int column) const { return column >= 0 && column < 32 && (fields >> column) & 1u; }
};

// What differs in one table: its added, then its deleted, then its changed rows.
struct TableDiff
{
    QString table;
    QList<RowDiff> rows;
    int added = 0;
    int deleted = 0;
    int changed = 0;
};

// The rows that differ between two snapshot texts, table by table, keyed by id. A row whose columns
// differ only in updatedAt or serverUpdatedAt is the same row: those stamps change with every write.
// It keeps the two texts and tells each row's place in them, so that a comparison of a whole store
// costs little beyond the texts, and a Record is made only for a row someone looks at.
class VersionDiff
{
public:
    VersionDiff() = default;

    // Both texts are snapshots this program wrote. Stops early, leaving the result not valid, once stop is set.
    static VersionDiff compare(const QByteArray &older, const QByteArray &newer,
                               const std::atomic<bool> *stop = nullptr);

    // Both texts read as snapshots and the comparison ran to its end.
    bool isValid() const { return valid; }
    bool isEmpty() const { return tableDiffs.isEmpty(); }
    int rowCount() const;
    // Only the tables that differ, in catalogue order.
    const QList<TableDiff> &tables() const { return tableDiffs; }
    const TableDiff *table(const QString &key) const;
    // "物品：新增 12，修改 30，删除 2", one line per table that differs.
    QStringList summaryLines() const;

    // The row as each snapshot holds it; empty where it is not there.
    QJsonObject before(const QString &table, const RowDiff &row) const;
    QJsonObject after(const QString &table, const RowDiff &row) const;
    QString rowId(const QString &table, const RowDiff &row) const;

    const SnapshotReader *olderSnapshot() const { return older.get(); }
    const SnapshotReader *newerSnapshot() const { return newer.get(); }

private:
    std::shared_ptr<const SnapshotReader> older;
    std::shared_ptr<const SnapshotReader> newer;
    QList<TableDiff> tableDiffs;
    bool valid = false;
};
