#include "storage/recordwriter.h"

#include "catalogue/catalogue.h"
#include "storage/clock.h"
#include "storage/database.h"
#include "storage/storagefault.h"

#include <QDateTime>
#include <QSqlError>

RecordWriter::RecordWriter(const QSqlDatabase &connection, const TableInfo &table)
    : table(table)
    , query(connection)
    , createdAtColumn(table.columns.indexOf(QStringLiteral("createdAt")))
    , updatedAtColumn(table.columns.indexOf(QStringLiteral("updatedAt")))
{
    // Named placeholders: Qt formats a name for every positional bind, which costs more than the insert itself.
    for (int i = 0; i <= table.columns.size(); ++i)
        placeholders << QStringLiteral(":v%1").arg(i);
    const QStringList columnMarks = placeholders.mid(0, table.columns.size());
    prepared =
        query.prepare(QStringLiteral("INSERT OR REPLACE INTO %1 (%2, serverUpdatedAt, deleted) VALUES (%3, %4, 0)")
                          .arg(table.key, table.columns.join(QLatin1Char(',')), columnMarks.join(QLatin1Char(',')),
                               placeholders.last()));
    values.reserve(table.columns.size());
}

bool RecordWriter::write(const QJsonObject &record)
{
    // A failed prepare keeps its own error text (a missing column, say) for errorText().
    if (!prepared)
        return false;

    values.clear();
    for (const QString &column : table.columns)
        values << Database::toSqlValue(record.value(column));

    QString createdAt;
    if (createdAtColumn >= 0) {
        createdAt = storableText(recordText(record, QStringLiteral("createdAt")));
        if (createdAt.isEmpty()) {
            createdAt = stampNow();
            values[createdAtColumn] = createdAt;
        }
    }
    if (updatedAtColumn >= 0 && recordText(record, QStringLiteral("updatedAt")).isEmpty())
        values[updatedAtColumn] = createdAt;

    for (int i = 0; i < values.size(); ++i)
        query.bindValue(placeholders.at(i), values.at(i));
    query.bindValue(placeholders.last(), stampNow());
    return query.exec();
}

QString storableText(const QString &text)
{
    if (text.isValidUtf16())
        return text;
    QString result = text;
    char16_t *it = reinterpret_cast<char16_t *>(result.data());
    char16_t *const end = it + result.size();
    for (; it != end; ++it) {
        if (QChar::isHighSurrogate(*it) && it + 1 != end && QChar::isLowSurrogate(it[1]))
            ++it;
        else if (QChar::isSurrogate(*it))
            *it = QChar::ReplacementCharacter;
    }
    return result;
}

QString RecordWriter::errorText() const
{
    return storagefault::describe(query.lastError());
}

bool RecordWriter::failedOnEnvironment() const
{
    return storagefault::isEnvironment(query.lastError());
}

QString RecordWriter::stampNow()
{
    static qint64 second = -1;
    static QString text;
    const qint64 msecs = Clock::msecsSinceEpoch();
    if (msecs / 1000 != second) {
        second = msecs / 1000;
        text = QDateTime::fromMSecsSinceEpoch(msecs).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    }
    return text;
}
