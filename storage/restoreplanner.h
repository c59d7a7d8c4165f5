#pragma once

#include "storage/versiondiff.h"

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

// What a restore of chosen rows writes: each row back as the older version held it, live again, or
// removed as the editor removes it (a row the change had added).
struct PartialRestore
{
    // The version the rows come back from, named in the sync log.
    int versionId = 0;
    QHash<QString, QList<QJsonObject>> rowsBack;
    QHash<QString, QStringList> removals;

    int rowCount() const;
    // Per table that changes, in catalogue order: "物品 3 行".
    QStringList tableCounts() const;
};

// A row the restore would leave pointing at a row it removes, named for the question.
struct DanglingRow
{
    QString table;
    QString id;
    QString name;
};

// Turns the rows chosen in a comparison into what a restore writes, against the data as it is now:
// which of them changed again since the newer side, and which live rows would point at a row the
// restore removes. Those are taken in on asking (include), each the way the comparison tells, a
// row it does not hold removed; so the restore never leaves a reference dangling.
class RestorePlanner
{
public:
    // current: the data now, as a snapshot this program wrote. Once stop is set, every chosen row counts
    // as changed again.
    RestorePlanner(const VersionDiff &diff, const SnapshotReader &current, const std::atomic<bool> *stop = nullptr);

    // Rows of the comparison, by table and index into its TableDiff::rows.
    void choose(const QString &table, int row);

    const PartialRestore &plan() const { return restore; }
    // Chosen rows whose row now is not what the newer side held.
    int changedAgain() const { return changedSince; }
    // Live rows that would point at a removed row; empty once they are included.
    QList<DanglingRow> dangling() const;
    // Takes every dangling row into the plan, and the rows that would then dangle, until none is left.
    void includeDangling();

private:
    void add(const QString &table, const RowDiff &row);
    QList<DanglingRow> findDangling() const;
    bool planned(const QString &table, const QString &id) const;

    const VersionDiff &diff;
    const SnapshotReader &current;
    VersionDiff since;
    PartialRestore restore;
    QHash<QString, QSet<QString>> removed;
    QHash<QString, QSet<QString>> writtenBack;
    int changedSince = 0;
};
