#pragma once

#include <QJsonObject>
#include <QString>

// The Records of a snapshot document, table by table, handed out one at a time so that a merge or a
// rollback need not hold the whole document as JSON objects.
class RecordSource
{
public:
    virtual ~RecordSource() = default;

    // The number of elements in the table's array: 0 for a missing key or a value that is not an array.
    // A source may leave out the elements that cannot carry an id (those that are not objects, and empty
    // objects): every reader of Records skips them.
    virtual qsizetype size(const QString &table) const = 0;

    // One element; an element that is not an object gives an empty object.
    virtual QJsonObject record(const QString &table, qsizetype index) const = 0;
};
