#pragma once

#include "storage/rowsmemo.h"
#include "ui/displaycache.h"
#include "ui/tableplan.h"

#include <QAbstractTableModel>
#include <QHash>
#include <QJsonArray>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

struct TableInfo;

// The rows of one data table as the data page shows them. The Records are held once, as storage gave
// them; a cell's text, look and Record id are made only when the view asks for that cell, so a table of
// 100,000 rows costs its Records and not an object per cell. What is shown is a list of positions over
// the Records: the search filter and, for a tree table, the tree order with its folds. While the table is
// unchanged in storage a reload gives back the same Records without a statement, so a search keystroke
// or a fold rebuilds that list only.
class DataTableModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    explicit DataTableModel(QObject *parent = nullptr);

    // Reads the table from storage and lays out its rows for the search; unchanged rows come back as
    // the Records held before. False, with nothing changed, for a key outside the catalogue.
    bool reload(const QString &tableKey, const QString &search);
    // Folds an unfolded parent and unfolds a folded one, or only unfolds it; shown from the next reload.
    void toggleFold(const QString &id);
    void unfold(const QString &id);

    const TableInfo *table() const { return shownTable; }
    bool isTree() const { return tree; }
    QString search() const { return searchText; }
    // Every live row of the table as last read, in storage's order, unfiltered.
    const QJsonArray &records() const { return rows; }
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
    // Recomputes the shown rows from the held ones.
    void layOut();
    QString idOf(const QJsonObject &record) const;
    QString cellTextAt(int position, const ColumnPlan &column) const;
    QString decoratedName(const QString &id, const QString &text) const;
    bool isUnfolded(const QString &id) const;

    const TableInfo *shownTable = nullptr;
    bool tree = false;
    QString searchText;
    QJsonArray rows;
    QStringList keys;
    TablePlan plan;
    // The entry of plan.columns shown in each table column; -1 for the action column.
    QList<int> planOfColumn;
    QList<int> shown;
    // Where the id sits among the keys of a Record of this reading.
    int idPosition = -1;

    QHash<QString, int> depthById;
    QHash<QString, int> childCountById;
    QSet<QString> parentIds;
    QSet<QString> expandedIds;

    RowsMemo rowsMemo;
    RowsMemo categoryRowsMemo;
    RowsMemo locationRowsMemo;
    // Reference texts of the current reading, filled as cells are painted.
    mutable DisplayCache display;

    // The searchable text of each row of the shown table while a search is active, kept while its
    // Record comes back unchanged, so that a keystroke does not turn every value into text again.
    struct SearchText
    {
        QJsonObject row;
        QString text;
    };
    mutable QHash<QString, SearchText> searchTexts;
};
