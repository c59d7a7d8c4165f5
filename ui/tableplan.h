#pragma once

#include "catalogue/records.h"
#include "storage/rowtable.h"
#include "ui/displaycache.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

struct TableInfo;

// Whole numbers show without decimals, others with two.
inline QString numberText(double value)
{
    if (const std::optional<qint64> whole = wholeNumber(value))
        return QString::number(*whole);
    return QString::number(value, 'f', 2);
}

// How the cells of one column get their text; worked out once per reading, not per cell.
struct ColumnPlan
{
    QString name;
    // Where the column sits among the read rows' columns; -1 where they lack it.
    int column = -1;
    int tableColumn = 0;
    bool reference = false;
    const QHash<QString, QString> *words = nullptr;
    // The texts shown so far in this reading for the column's reference values.
    mutable QHash<QString, QString> shown;
};

// The data page's columns for one table: the shown values, then the action column, then the timestamps.
struct TablePlan
{
    QStringList headers;
    QList<ColumnPlan> columns;
    int actionColumn = 0;
};

TablePlan planTable(const TableInfo &table, const RowTable &rows);

// Inlined: it runs for every cell painted, and for the rows sampled for the column widths.
Q_ALWAYS_INLINE QString cellText(const RowTable &rows, int row, const ColumnPlan &plan, DisplayCache &cache)
{
    const QJsonValue value = rows.value(row, plan.column);
    const QString text = value.isDouble() ? numberText(value.toDouble()) : value.toString();
    if (plan.reference) {
        // One lookup in the column's own table of the texts shown so far in this reading.
        const auto known = plan.shown.constFind(text);
        if (known != plan.shown.cend())
            return *known;
        const QString shown = cache.text(plan.name, text);
        plan.shown.insert(text, shown);
        return shown;
    }
    if (plan.words)
        return plan.words->value(text, text);
    return text;
}
