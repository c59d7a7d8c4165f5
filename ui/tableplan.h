#pragma once

#include "catalogue/records.h"
#include "ui/displaycache.h"

#include <QHash>
#include <QJsonObject>
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

// Where a column sits among the keys of the Records of one reading. They all have the same keys, so a
// value is taken by its position instead of a search for the key in every row and column.
struct KeyPosition
{
    KeyPosition(const QString &name, const QStringList &keys) : name(name), position(int(keys.indexOf(name))) {}

    QJsonValue of(const QJsonObject &row, qsizetype keyCount) const
    {
        if (position >= 0 && row.size() == keyCount)
            return (row.constBegin() + position).value();
        return row.value(name);
    }

    // The value as text where it is a string, else the empty text.
    QString text(const QJsonObject &row, qsizetype keyCount) const
    {
        const QJsonValue value = of(row, keyCount);
        return value.isString() ? value.toString() : QString();
    }

    QString name;
    int position;
};

// How the cells of one column get their text; worked out once per refresh, not per cell.
struct ColumnPlan
{
    KeyPosition key;
    int tableColumn = 0;
    bool reference = false;
    const QHash<QString, QString> *words = nullptr;
    // The texts shown so far in this refresh for the column's reference values.
    mutable QHash<QString, QString> shown;
};

// The data page's columns for one table: the shown values, then the action column, then the timestamps.
struct TablePlan
{
    QStringList headers;
    QList<ColumnPlan> columns;
    int actionColumn = 0;
};

// `keys` are the keys of the Records read from the table.
TablePlan planTable(const TableInfo &table, const QStringList &keys);

// Inlined: it runs for every cell painted, and for the rows sampled for the column widths.
Q_ALWAYS_INLINE QString cellText(const QJsonObject &row, qsizetype keyCount, const ColumnPlan &plan, DisplayCache &cache)
{
    const QJsonValue value = plan.key.of(row, keyCount);
    const QString text = value.isDouble() ? numberText(value.toDouble()) : value.toString();
    if (plan.reference) {
        // One lookup in the column's own table of the texts shown so far in this refresh.
        const auto known = plan.shown.constFind(text);
        if (known != plan.shown.cend())
            return *known;
        const QString shown = cache.text(plan.key.name, text);
        plan.shown.insert(text, shown);
        return shown;
    }
    if (plan.words)
        return plan.words->value(text, text);
    return text;
}

// The text values of a row, one per line: the search field holds no line break, so a match in this
// text is a match in one of the values. Numbers are not searched.
QString searchTextOf(const QJsonObject &row, qsizetype keyCount, const QList<KeyPosition> &columns);
