#include "storage/rowreader.h"

#include "catalogue/catalogue.h"
#include "storage/readsession.h"
#include "storage/rowsmemo.h"
#include "storage/rowtable.h"
#include "storage/storagefault.h"
#include "storage/tablereader.h"

#include <QDebug>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>

#include <string>

namespace {

// A Record with every column of a result as its keys. Each Record starts as a copy of it and has its
// values set in the object's own key order: inserting the keys one by one costs more than the query.
template<typename Name>
QJsonObject recordPrototype(Name name, int columnCount)
{
    QJsonObject prototype;
    for (int i = 0; i < columnCount; ++i)
        prototype.insert(name(i), QJsonValue());
    return prototype;
}

// Changes as the database counts them: rows written by this connection, commits by other
// connections, and schema changes. Equal stamps on one connection mean the same data. Asked through
// the driver, so that it holds for whichever SQLite the driver runs on. The opening's number tells
// connections apart: a reopened one (after a restore) may get the old handle's address and counts.
QByteArray changeStamp(const QSqlDatabase &connection, quint64 opening)
{
    const QVariant handle = connection.driver() ? connection.driver()->handle() : QVariant();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return QByteArray();
    QSqlQuery query(connection);
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT total_changes(), data_version, schema_version "
                                   "FROM pragma_data_version, pragma_schema_version"))
        || !query.next())
        return QByteArray();
    QByteArray stamp = QByteArray::number(opening) + ' '
                       + QByteArray::number(quintptr(*static_cast<void *const *>(handle.constData())));
    for (int i = 0; i < 3; ++i)
        stamp += ' ' + QByteArray::number(query.value(i).toLongLong());
    return stamp;
}

} // namespace

QJsonArray RowReader::records(const QString &table, RowsMemo *memo, bool direct, QString *error)
{
    if (!findTable(table))
        return QJsonArray();
    const bool readsDirect = direct && TableReader::sharedHandle(connection);
    const QByteArray stamp = memo ? changeStamp(connection, opening) : QByteArray();
    const bool sameReading = memo && memo->table == table && memo->direct == readsDirect;
    if (sameReading && !stamp.isEmpty() && memo->stamp == stamp)
        return memo->result;

    TableReader reader(connection, table, direct);
    const QStringList &columns = reader.columns();
    const int columnCount = int(columns.size());
    const QJsonObject prototype = recordPrototype([&columns](int i) { return columns.at(i); }, columnCount);
    QList<int> columnOfKey;
    for (auto it = prototype.constBegin(); it != prototype.constEnd(); ++it)
        columnOfKey << int(columns.indexOf(it.key()));

    // Keys cost more than they save on a table read for the first time since another was shown: the
    // memo keeps them from the second reading on, when the table is read again after a change.
    const bool keyed = sameReading && memo->direct == reader.isDirect();
    QHash<QByteArray, QJsonObject> earlier;
    if (keyed && memo->columns == columns)
        earlier.swap(memo->records);
    QHash<QByteArray, QJsonObject> kept;
    kept.reserve(earlier.size());

    QJsonArray result;
    std::string key;
    while (reader.next()) {
        if (keyed) {
            reader.rowKey(&key);
            const auto found = earlier.constFind(QByteArray::fromRawData(key.data(), qsizetype(key.size())));
            if (found != earlier.cend()) {
                result.append(*found);
                // The earlier key is shared, not copied: an unchanged row costs no allocation.
                kept.insert(found.key(), *found);
                continue;
            }
        }
        QJsonObject record = prototype;
        auto slot = record.begin();
        for (const int column : columnOfKey) {
            slot.value() = reader.value(column);
            ++slot;
        }
        result.append(record);
        if (keyed)
            kept.insert(QByteArray(key.data(), qsizetype(key.size())), record);
    }

    if (reader.failed()) {
        qWarning() << "query failed:" << reader.errorText();
        storagefault::report(error, reader.errorText());
        if (memo)
            memo->clear();
        return QJsonArray();
    }
    if (memo) {
        memo->table = table;
        memo->direct = reader.isDirect();
        memo->columns = columns;
        memo->records.swap(kept);
        memo->result = result;
        memo->stamp = stamp;
    }
    return result;
}

bool RowReader::readTable(const QString &table, RowTable *rows, QString *error)
{
    if (!findTable(table)) {
        rows->clear();
        storagefault::report(error, QStringLiteral("未知表"));
        return false;
    }
    const QByteArray stamp = changeStamp(connection, opening);
    if (rows->table == table && !stamp.isEmpty() && rows->stamp == stamp)
        return true;

    // A table read again is about as large as the last time: its block is made that large at once.
    const qsizetype lastSize = rows->table == table ? rows->block.size() : 0;
    rows->clear();
    rows->block.reserve(lastSize + lastSize / 8);
    TableReader reader(connection, table, true);
    rows->names = reader.columns();
    const int columnCount = int(rows->names.size());
    while (reader.next()) {
        rows->startRow();
        for (int column = 0; column < columnCount; ++column)
            reader.appendTo(*rows, column);
    }
    if (reader.failed()) {
        qWarning() << "query failed:" << reader.errorText();
        storagefault::report(error, reader.errorText());
        rows->clear();
        return false;
    }
    rows->block.squeeze();
    rows->rowStart.squeeze();
    rows->table = table;
    rows->stamp = stamp;
    return true;
}

bool RowReader::readTableFrom(const QString &file, const QString &table, RowTable *rows, QString *error)
{
    const ReadSession session(file);
    if (!session.isOpen()) {
        rows->clear();
        storagefault::report(error, session.error());
        return false;
    }
    const bool read = RowReader(session.database(), session.serial()).readTable(table, rows, error);
    // What this connection said of its changes means nothing to the program's own.
    rows->stamp.clear();
    return read;
}
