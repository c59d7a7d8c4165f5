#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

// The fixed description of the six data tables, shared by storage and the interface.
struct TableInfo
{
    QString key;
    QString label;
    QStringList columns;
    // Each column's declaration as the table is created with it, in the order of columns.
    QStringList declarations;
};

const QList<TableInfo> &tables();
const TableInfo *findTable(const QString &key);
QString headerLabel(const QString &column);
bool isReferenceColumn(const QString &column);
// The tables whose rows form a tree through parentId: categories and locations.
bool isTreeTable(const QString &key);

// The codes a column of coded values stores (`type`, `status`, `paymentMethod`) and the words shown
// for them; null for any other column.
const QHash<QString, QString> *codeWords(const QString &column);
