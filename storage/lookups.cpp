#include "storage/database.h"

#include "catalogue/catalogue.h"
#include "catalogue/records.h"

#include <QDebug>
#include <QHash>
#include <QSqlError>
#include <QSqlQuery>

QList<IdName> Database::queryIdName(const QString &sql)
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

QString Database::pathOf(const QString &table, const QString &id)
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

QString Database::displayValue(const QString &column, const QString &value)
{
    if (value.isEmpty())
        return QString();

    const auto pathOrName = [this, &value](const QString &table) {
        const QString path = pathOf(table, value);
        if (!path.isEmpty())
            return path;
        const QString name = lookupText(QStringLiteral("SELECT name FROM %1 WHERE id = ?").arg(table), value);
        return name.isEmpty() ? value : name;
    };

    if (column == QLatin1String("categoryId"))
        return pathOrName(QStringLiteral("categories"));
    if (column == QLatin1String("locationId"))
        return pathOrName(QStringLiteral("locations"));
    if (column == QLatin1String("itemId") || column == QLatin1String("relatedItemId")) {
        QSqlQuery query(connection);
        query.prepare(QStringLiteral("SELECT name, barcode FROM items WHERE id = ?"));
        query.addBindValue(value);
        if (!query.exec() || !query.next())
            return value;
        const QString name = query.value(0).toString();
        const QString barcode = query.value(1).toString();
        return barcode.isEmpty() ? name : QStringLiteral("%1（%2）").arg(name, barcode);
    }
    if (column == QLatin1String("customerId")) {
        const QString name = lookupText(QStringLiteral("SELECT name FROM customers WHERE id = ?"), value);
        return name.isEmpty() ? value : name;
    }
    if (column == QLatin1String("parentId")) {
        const QString category = lookupText(QStringLiteral("SELECT name FROM categories WHERE id = ?"), value);
        if (!category.isEmpty())
            return category + QStringLiteral("（分类）");
        const QString location = lookupText(QStringLiteral("SELECT name FROM locations WHERE id = ?"), value);
        if (!location.isEmpty())
            return location + QStringLiteral("（存放处）");
        return value;
    }
    return value;
}

QString Database::lookupText(const QString &sql, const QString &value)
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
