#pragma once

#include "catalogue/records.h"

#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <QVariantList>

struct TableInfo;
class QSqlError;

// Text as SQLite stores it. A lone UTF-16 surrogate cannot be stored as it is: SQLite's conversion would
// eat the character after it. It becomes U+FFFD, as QString::toUtf8 writes it, so that what is bound,
// compared and exported is one and the same text.
QString storableText(const QString &text);

// A Record's id as it is stored and compared.
inline QString recordId(const QJsonObject &record)
{
    return storableText(recordText(record, QStringLiteral("id")));
}

// Writes whole Records into one data table through a single prepared INSERT OR REPLACE, so that a merge
// or a rollback of thousands of rows prepares once. Every row gets the defaults and stamps of an upsert:
// createdAt now when missing, an item's updatedAt from createdAt, serverUpdatedAt now, deleted 0, and an
// empty text for every column the Record lacks.
class RecordWriter
{
public:
    RecordWriter(const QSqlDatabase &connection, const TableInfo &table);

    // The Record's id must already be set.
    bool write(const QJsonObject &record);

    // The reason of the last failure: the driver's text, or a Chinese reason for a fault of the database.
    QString errorText() const;
    // The last failure was a fault of the database, not a refusal of the row.
    bool failedOnEnvironment() const;

    // The value bound to a column by the last write.
    QVariant writtenValue(int column) const { return values.value(column); }

    // The current timestamp text, formatted once per second: a bulk write stamps tens of thousands of rows.
    static QString stampNow();

private:
    const TableInfo &table;
    QSqlQuery query;
    bool prepared = false;
    int createdAtColumn = -1;
    int updatedAtColumn = -1;
    QStringList placeholders;
    QVariantList values;
};
