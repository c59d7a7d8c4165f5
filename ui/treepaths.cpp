#include "ui/treepaths.h"

#include <QJsonObject>
#include <QStringList>

namespace {

QString textOf(const QJsonObject &row, const QString &key)
{
    const QJsonValue value = row.value(key);
    return value.isString() ? value.toString() : QString();
}

} // namespace

TreePaths::TreePaths(const QJsonArray &liveRows)
{
    for (const QJsonValue &value : liveRows) {
        const QJsonObject row = value.toObject();
        nodes.insert(textOf(row, QStringLiteral("id")),
                     Node{textOf(row, QStringLiteral("name")), textOf(row, QStringLiteral("parentId"))});
    }
    for (auto it = nodes.cbegin(); it != nodes.cend(); ++it) {
        if (!it->parentId.isEmpty())
            childrenOf[it->parentId].append(it.key());
    }
}

QString TreePaths::path(const QString &id) const
{
    if (id.isEmpty() || !nodes.contains(id))
        return QString();
    QStringList names;
    QString current = id;
    int budget = 51;
    while (!current.isEmpty()) {
        const auto it = nodes.constFind(current);
        if (it == nodes.cend() || --budget == 0)
            break;
        names.prepend(it->name);
        current = it->parentId;
    }
    return names.join(QStringLiteral(" > "));
}

QSet<QString> TreePaths::subtree(const QString &id) const
{
    QSet<QString> seen;
    QStringList pending{id};
    while (!pending.isEmpty()) {
        const QString current = pending.takeLast();
        if (seen.contains(current))
            continue;
        seen.insert(current);
        pending.append(childrenOf.value(current));
    }
    return seen;
}
