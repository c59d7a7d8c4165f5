#include "ui/treepaths.h"

#include <QJsonObject>
#include <QStringList>

TreePaths::TreePaths(const QJsonArray &liveRows)
{
    for (const QJsonValue &value : liveRows) {
        const QJsonObject row = value.toObject();
        nodes.insert(recordText(row, QStringLiteral("id")),
                     TreeNode{recordText(row, QStringLiteral("name")), recordText(row, QStringLiteral("parentId"))});
    }
    for (auto it = nodes.cbegin(); it != nodes.cend(); ++it) {
        if (!it->parentId.isEmpty())
            childrenOf[it->parentId].append(it.key());
    }
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
