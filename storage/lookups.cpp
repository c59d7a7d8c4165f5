#include "storage/lookups.h"

#include "catalogue/catalogue.h"
#include "catalogue/records.h"

#include <QDebug>
#include <QHash>
#include <QSqlError>
#include <QSqlQuery>

QList<IdName> Lookups::itemChoices()
{
    return queryIdName(
        QStringLiteral("SELECT id, name || '（' || barcode || '）' FROM items WHERE deleted=0 ORDER BY name"));
}

QList<IdName> Lookups::customerChoices()
{
    return queryIdName(QStringLiteral("SELECT id, name FROM customers WHERE deleted=0 ORDER BY name"));
}

QList<IdName> Lookups::queryIdName(const QString &sql)
{
    QList<IdName> result;
    if (!connection.isOpen())
        return result;
    QSqlQuery query(connection);
    query.setForwardOnly(true);
    if (!query.exec(sql)) {
        qWarning() << "queryIdName failed:" << query.lastError().text() << sql;
        return result;
    }
    while (query.next())
        result.append(IdName{query.value(1).toString(), query.value(0).toString()});
    return result;
}

QString Lookups::pathOf(const QString &table, const QString &id)
{
    if (id.isEmpty() || !isTreeTable(table))
        return QString();

    QHash<QString, TreeNode> tree;
    QSqlQuery query(connection);
    query.setForwardOnly(true);
    if (query.exec(QStringLiteral("SELECT id, name, parentId FROM %1 WHERE deleted = 0").arg(table))) {
        while (query.next())
            tree.insert(query.value(0).toString(), TreeNode{query.value(1).toString(), query.value(2).toString()});
    }
    return treePath(tree, id);
}

QString Lookups::nameOf(const QString &table, const QString &id)
{
    if (!findTable(table))
        return QString();
    return lookupText(QStringLiteral("SELECT name FROM %1 WHERE id = ?").arg(table), id);
}

std::optional<ItemName> Lookups::item(const QString &id)
{
    QSqlQuery query(connection);
    query.prepare(QStringLiteral("SELECT name, barcode FROM items WHERE id = ?"));
    query.addBindValue(id);
    if (!query.exec() || !query.next())
        return std::nullopt;
    return ItemName{query.value(0).toString(), query.value(1).toString()};
}

QString Lookups::displayValue(const QString &column, const QString &value)
{
    if (value.isEmpty())
        return QString();

    const auto pathOrName = [this, &value](const QString &table) {
        const QString path = pathOf(table, value);
        if (!path.isEmpty())
            return path;
        const QString name = nameOf(table, value);
        return name.isEmpty() ? value : name;
    };

    if (column == QLatin1String("categoryId"))
        return pathOrName(QStringLiteral("categories"));
    if (column == QLatin1String("locationId"))
        return pathOrName(QStringLiteral("locations"));
    if (column == QLatin1String("itemId") || column == QLatin1String("relatedItemId")) {
        const std::optional<ItemName> found = item(value);
        if (!found)
            return value;
        return found->barcode.isEmpty() ? found->name : QStringLiteral("%1（%2）").arg(found->name, found->barcode);
    }
    if (column == QLatin1String("customerId")) {
        const QString name = nameOf(QStringLiteral("customers"), value);
        return name.isEmpty() ? value : name;
    }
    if (column == QLatin1String("parentId")) {
        const QString category = nameOf(QStringLiteral("categories"), value);
        if (!category.isEmpty())
            return category + QStringLiteral("（分类）");
        const QString location = nameOf(QStringLiteral("locations"), value);
        if (!location.isEmpty())
            return location + QStringLiteral("（存放处）");
        return value;
    }
    return value;
}

QString Lookups::lookupText(const QString &sql, const QString &value)
{
    QSqlQuery query(connection);
    query.setForwardOnly(true);
    if (!query.prepare(sql))
        return QString();
    query.addBindValue(value);
    if (!query.exec() || !query.next())
        return QString();
    return query.value(0).toString();
}
