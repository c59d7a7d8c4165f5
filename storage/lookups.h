#pragma once

#include <QList>
#include <QSqlDatabase>
#include <QString>

#include <optional>

// One entry of a choice list.
struct IdName
{
    QString name;
    QString id;
};

// An item as a reference to it is shown.
struct ItemName
{
    QString name;
    QString barcode;
};

// Names, paths and choice lists read from the data tables, for showing references and choosing them.
class Lookups
{
public:
    explicit Lookups(const QSqlDatabase &connection)
        : connection(connection)
    {
    }

    // The live items as "name（barcode）" (empty where the barcode is null), sorted by name.
    QList<IdName> itemChoices();
    // The live customers by name, sorted by name.
    QList<IdName> customerChoices();
    // The first column of each row as the id, the second as the name.
    QList<IdName> queryIdName(const QString &sql);

    // Names from the highest live ancestor down to the live node, joined with " > "; empty for anything
    // else, and for a table that is no tree.
    QString pathOf(const QString &table, const QString &id);
    // The name of a row of a data table, deleted or not; empty when there is none.
    QString nameOf(const QString &table, const QString &id);
    // An item, deleted or not.
    std::optional<ItemName> item(const QString &id);

    // What a table cell shows for a reference: a path, a name, an item with its barcode, a parent with
    // the kind of its table; the value itself when it points at nothing.
    QString displayValue(const QString &column, const QString &value);
    // The first column of the first row of a statement with one value bound; empty when there is none.
    QString lookupText(const QString &sql, const QString &value);

private:
    QSqlDatabase connection;
};
