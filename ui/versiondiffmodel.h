#pragma once

#include "storage/versiondiff.h"
#include "ui/displaycache.h"

#include <QAbstractTableModel>
#include <QList>

#include <memory>
#include <vector>

// The rows that differ between two versions, one line each, table by table: a check box and the table,
// what happened to the row, the row as the data page names it, and its fields (old → new for a changed
// row, only the fields that changed). Texts are made when a line is painted, from the two snapshots,
// so a comparison of 100,000 rows costs no more to show than one of ten.
class VersionDiffModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    explicit VersionDiffModel(QObject *parent = nullptr);

    void show(std::shared_ptr<const VersionDiff> diff);
    const VersionDiff *diff() const { return shown.get(); }

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

    // Checks every line or none.
    void checkAll(bool checked);
    int checkedCount() const { return checked; }
    // The checked lines, as a table key and an index into its TableDiff::rows each.
    QList<std::pair<QString, int>> checkedRows() const;

private:
    // The table and the row within it of a line.
    std::pair<const TableDiff *, int> locate(int line) const;
    QString rowName(const QString &table, const QJsonObject &record) const;
    QString fieldText(const QString &column, const QJsonValue &value) const;
    QString fieldsText(const QString &table, const RowDiff &row) const;

    std::shared_ptr<const VersionDiff> shown;
    // Where each table's lines begin.
    QList<int> starts;
    int lines = 0;
    std::vector<bool> marks;
    int checked = 0;
    mutable DisplayCache names;
};
