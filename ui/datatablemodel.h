#pragma once

#include "storage/rowsmemo.h"
#include "storage/rowtable.h"
#include "ui/displaycache.h"
#include "ui/tableplan.h"

#include <QAbstractTableModel>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

struct TableInfo;

// The rows of one data table as the data page shows them. The rows are held once, compactly, as storage
// read them; a cell's text, look and Record id are made only when the view asks for that cell, so a table
// of 100,000 rows costs about its text and not an object per cell. What is shown is a list of positions
// over the rows: the search filter and, for a tree table, the tree order with its folds. While the table
// is unchanged in storage a reload keeps the rows without a statement, so a search keystroke or a fold
// rebuilds that list only.
class DataTableModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    explicit DataTableModel(QObject *parent = nullptr);

    // Reads the table from storage unless the rows held are still current, and lays them out for the
    // search. False, with nothing changed, for a key outside the catalogue.
    bool reload(const QString &tableKey, const QString &search);
    // Shows rows read elsewhere (on another thread), laid out for the search.
    bool show(const QString &tableKey, const QString &search, RowTable &&read);
    // Folds an unfolded parent and unfolds a folded one, or only unfolds it; shown from the next reload.
    void toggleFold(const QString &id);
    void unfold(const QString &id);

    const TableInfo *table() const { return shownTable; }
    bool isTree() const { return tree; }
    QString search() const { return searchText; }
    // Every live row of the table as last read, in storage's order, unfiltered.
    const RowTable &records() const { return rows; }
    int actionColumn() const { return plan.actionColumn; }

    // The Record id of a shown row, and the shown row of an id (-1 when it is not shown).
    QString idAt(int row) const;
    int rowOf(const QString &id) const;
    bool isParent(const QString &id) const { return parentIds.contains(id); }
    // Children of a placed row among the rows that passed the search.
    int childCount(const QString &id) const { return childCountById.value(id); }
    // The parents the operator unfolded; kept across refreshes, searches and tables.
    const QSet<QString> &expanded() const { return expandedIds; }

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

private:
    // Positions of the rows that pass the search, in storage's order.
    QList<int> matchingRows() const;
    // The passing rows in tree order, with folded subtrees left out; fills the tree state.
    QList<int> orderAsTree(const QList<int> &passing, bool searching);
    // Plans the columns for the rows now held and lays them out.
    void takeRows(const TableInfo *table, const QString &search);
    // Recomputes the shown rows from the held ones.
    void layOut();
    QString idOf(int position) const { return rows.text(position, idColumn); }
    QString decoratedName(const QString &id, const QString &text) const;
    bool isUnfolded(const QString &id) const;

    const TableInfo *shownTable = nullptr;
    bool tree = false;
    QString searchText;
    RowTable rows;
    TablePlan plan;
    // The entry of plan.columns shown in each table column; -1 for the action column.
    QList<int> planOfColumn;
    QList<int> shown;
    int idColumn = -1;

    QHash<QString, int> depthById;
    QHash<QString, int> childCountById;
    QSet<QString> parentIds;
    QSet<QString> expandedIds;

    RowsMemo categoryRowsMemo;
    RowsMemo locationRowsMemo;
    // Reference texts of the current reading, filled as cells are painted.
    mutable DisplayCache display;
};
