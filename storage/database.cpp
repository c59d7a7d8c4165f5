#include "storage/database.h"

#include "catalogue/catalogue.h"
#include "storage/recordwriter.h"
#include "storage/rowsmemo.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

#include <cmath>
#include <string>

#ifdef TOVANIK_HAVE_SQLITE3
#include <sqlite3.h>
#ifdef Q_OS_UNIX
#include <dlfcn.h>
#endif
#endif

namespace {

const char *const connectionName = "plindor";

const char *const schema[][2] = {
    {"items",
     "CREATE TABLE IF NOT EXISTS items (id TEXT PRIMARY KEY, barcode TEXT, name TEXT, categoryId TEXT, "
     "locationId TEXT,quantity REAL DEFAULT 0, unitPrice REAL DEFAULT 0, expectedOutPrice REAL DEFAULT 0,"
     "shortcode TEXT, pinyin TEXT, imagePath TEXT,createdAt TEXT, updatedAt TEXT, categoryPath TEXT, "
     "locationPath TEXT,serverUpdatedAt TEXT, deleted INTEGER DEFAULT 0)"},
    {"transactions",
     "CREATE TABLE IF NOT EXISTS transactions (id TEXT PRIMARY KEY, itemId TEXT, type TEXT, quantity REAL "
     "DEFAULT 0, unitPrice REAL DEFAULT 0,operatorId TEXT, paymentMethod TEXT, customerId TEXT, status TEXT,"
     "createdAt TEXT, itemName TEXT, customerName TEXT,serverUpdatedAt TEXT, deleted INTEGER DEFAULT 0)"},
    {"categories",
     "CREATE TABLE IF NOT EXISTS categories (id TEXT PRIMARY KEY, name TEXT, parentId TEXT, createdAt TEXT, "
     "fullPath TEXT,serverUpdatedAt TEXT, deleted INTEGER DEFAULT 0)"},
    {"locations",
     "CREATE TABLE IF NOT EXISTS locations (id TEXT PRIMARY KEY, name TEXT, description TEXT, parentId TEXT, "
     "createdAt TEXT, fullPath TEXT,serverUpdatedAt TEXT, deleted INTEGER DEFAULT 0)"},
    {"customers",
     "CREATE TABLE IF NOT EXISTS customers (id TEXT PRIMARY KEY, name TEXT, phone TEXT, address TEXT, "
     "createdAt TEXT,serverUpdatedAt TEXT, deleted INTEGER DEFAULT 0)"},
    {"relations",
     "CREATE TABLE IF NOT EXISTS relations (id TEXT PRIMARY KEY, itemId TEXT, relatedItemId TEXT, quantity "
     "REAL DEFAULT 1, createdAt TEXT,serverUpdatedAt TEXT, deleted INTEGER DEFAULT 0)"},
    {"versions",
     "CREATE TABLE IF NOT EXISTS versions (id INTEGER PRIMARY KEY AUTOINCREMENT, createdAt TEXT NOT NULL, "
     "reason TEXT, source TEXT,counts TEXT, snapshot TEXT NOT NULL)"},
    {"sync_log",
     "CREATE TABLE IF NOT EXISTS sync_log (id INTEGER PRIMARY KEY AUTOINCREMENT, createdAt TEXT NOT NULL, "
     "peer TEXT,direction TEXT, summary TEXT)"},
};

void setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}

QString notOpenText()
{
    return QStringLiteral("数据库未打开");
}

// The driver gives no text for a statement on a closed connection.
QString driverError(const QSqlQuery &query)
{
    const QString text = query.lastError().text();
    return text.isEmpty() ? notOpenText() : text;
}

// SQLite's primary result codes for faults of the file itself.
enum SqliteCode {
    sqlitePerm = 3,
    sqliteBusy = 5,
    sqliteLocked = 6,
    sqliteReadOnly = 8,
    sqliteIoError = 10,
    sqliteCorrupt = 11,
    sqliteCantOpen = 14,
    sqliteNotADatabase = 26,
};

// The driver reports SQLite's result code as a number, possibly an extended one.
int sqliteCode(const QSqlError &error)
{
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok);
    return ok ? code & 0xff : 0;
}

bool isReadOnlyCode(int code)
{
    return code == sqliteReadOnly || code == sqliteCantOpen || code == sqlitePerm;
}

// The operator's words for a fault of the database file, or an empty text for any other failure.
QString fileFault(int code, const QString &detail)
{
    switch (code) {
    case sqliteCorrupt:
        return QStringLiteral("数据库文件已损坏: ") + detail;
    case sqliteNotADatabase:
        return QStringLiteral("数据库文件无法识别，可能被截断或不是 SQLite 数据库: ") + detail;
    case sqliteIoError:
        return QStringLiteral("读取数据库文件时出错: ") + detail;
    default:
        break;
    }
    if (isReadOnlyCode(code))
        return QStringLiteral("数据库文件是只读的，无法保存任何修改（文件、所在文件夹或旁边的 -wal、-shm 文件不可写）: ")
               + detail;
    return QString();
}

// What the operator can do about a fault of the file, shown under the reason in the start-up box.
QString faultAdvice(int code, const QString &path)
{
    const QFileInfo file(path);
    if (isReadOnlyCode(code))
        return QStringLiteral("手机同步已暂停。请确认 %1 和它所在的文件夹可以写入（不在只读的 U 盘、光盘或网络位置，"
                              "文件没有只读属性），然后重新启动程序。")
            .arg(QDir::toNativeSeparators(file.absoluteFilePath()));
    return QStringLiteral("手机同步已暂停，也不做自动备份。请关闭程序，删除 %1 里的 %2-wal 和 %2-shm，"
                          "再把“备份”文件夹里最近的一份备份复制过来，改名为 %2。")
        .arg(QDir::toNativeSeparators(file.absolutePath()), file.fileName());
}

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

} // namespace

Database &Database::instance()
{
    static Database database;
    return database;
}

bool Database::open(const QString &path, QString *error)
{
    if (connection.isOpen() && path == databaseFile && failure.isEmpty())
        return true;
    if (connection.isOpen())
        connection.close();

    QDir().mkpath(QFileInfo(path).absolutePath());

    // Drop our handle first so that the earlier registration is replaced quietly.
    connection = QSqlDatabase();
    if (QSqlDatabase::contains(QString::fromLatin1(connectionName)))
        QSqlDatabase::removeDatabase(QString::fromLatin1(connectionName));
    connection = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QString::fromLatin1(connectionName));
    connection.setDatabaseName(path);
    if (!connection.open()) {
        failure = QStringLiteral("打开数据库失败: ") + connection.lastError().text();
        setError(error, failure);
        return false;
    }

    databaseFile = path;
    failure.clear();
    {
        QSqlQuery pragma(connection);
        pragma.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
        pragma.exec(QStringLiteral("PRAGMA busy_timeout=5000"));
        // Once checkpointed, a log grown by a large push is cut back to this size.
        pragma.exec(QStringLiteral("PRAGMA journal_size_limit=4194304"));
    }
    return createTables(error) && checkUsable(error);
}

void Database::close()
{
    if (!connection.isOpen())
        return;
    // A clean exit leaves the whole database in the one file, so that copying or replacing it by hand is
    // safe. A file that failed its check is left as it is.
    if (failure.isEmpty()) {
        QSqlQuery checkpoint(connection);
        checkpoint.exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
    }
    connection.close();
}

bool Database::isOpen() const
{
    return connection.isOpen();
}

QString Database::unusableReason() const
{
    if (!failure.isEmpty())
        return failure;
    return connection.isOpen() ? QString() : notOpenText();
}

bool Database::refuse(const QSqlError &fault, const QString &fallback, QString *error)
{
    const int code = sqliteCode(fault);
    const QString detail = !fault.databaseText().isEmpty() ? fault.databaseText()
                           : fault.text().isEmpty()          ? notOpenText()
                                                             : fault.text();
    const QString reason = fileFault(code, detail);
    if (reason.isEmpty()) {
        failure = fallback + detail;
        setError(error, failure);
        return false;
    }
    failure = reason;
    setError(error, reason + QStringLiteral("\n\n") + faultAdvice(code, databaseFile));
    // A damaged file is not written to again: the operator restores a backup instead. A read-only one
    // stays open so that its rows can still be looked at.
    if (!isReadOnlyCode(code))
        connection.close();
    return false;
}

bool Database::checkUsable(QString *error)
{
    QStringList checked;
    for (const TableInfo &table : tables())
        checked << table.key;
    // Not the versions: old snapshots may fill gigabytes, and damage there shows when one is read or written.
    checked << QStringLiteral("sync_log");

    QSqlQuery query(connection);
    for (const QString &table : checked) {
        if (!query.exec(QStringLiteral("PRAGMA quick_check(%1)").arg(table)))
            return refuse(query.lastError(), QStringLiteral("检查数据库失败: "), error);
        QStringList problems;
        while (query.next()) {
            const QString line = query.value(0).toString();
            if (line != QLatin1String("ok"))
                problems << line.simplified();
        }
        if (query.lastError().isValid())
            return refuse(query.lastError(), QStringLiteral("检查数据库失败: "), error);
        if (!problems.isEmpty()) {
            const QString detail = QStringLiteral("%1: %2").arg(table, problems.join(QStringLiteral("; ")).left(300));
            return refuse(QSqlError(QString(), detail, QSqlError::StatementError, QString::number(sqliteCorrupt)),
                          QString(), error);
        }
    }

    // A read-only file, folder, -wal or -shm shows only when a write begins. The write is undone at once.
    if (!query.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        const int code = sqliteCode(query.lastError());
        // Another program holding the write lock says nothing about the file.
        if (code == sqliteBusy || code == sqliteLocked)
            return true;
        return refuse(query.lastError(), QStringLiteral("检查数据库失败: "), error);
    }
    qint64 userVersion = 0;
    if (query.exec(QStringLiteral("PRAGMA user_version")) && query.next())
        userVersion = query.value(0).toLongLong();
    const bool written = query.exec(QStringLiteral("PRAGMA user_version = %1").arg(userVersion));
    const QSqlError writeFault = query.lastError();
    query.exec(QStringLiteral("ROLLBACK"));
    if (!written)
        return refuse(writeFault, QStringLiteral("检查数据库失败: "), error);
    return true;
}

bool Database::createTables(QString *error)
{
    QSqlQuery query(connection);
    for (const auto &statement : schema) {
        if (!query.exec(QString::fromLatin1(statement[1])))
            return refuse(query.lastError(),
                          QStringLiteral("建表失败 ") + QString::fromLatin1(statement[0]) + QStringLiteral(": "), error);
    }
    return true;
}

QString Database::nowText()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QVariant Database::toSqlValue(const QJsonValue &v)
{
    switch (v.type()) {
    case QJsonValue::Null:
    case QJsonValue::Undefined:
        return QStringLiteral("");
    case QJsonValue::Bool:
        return v.toBool() ? 1 : 0;
    case QJsonValue::Double: {
        const double d = v.toDouble();
        // Only values that survive the round trip through a 64-bit integer are stored as integers.
        if (std::isfinite(d) && d >= -9223372036854775808.0 && d < 9223372036854775808.0) {
            const qint64 i = static_cast<qint64>(d);
            if (static_cast<double>(i) == d)
                return i;
        }
        return d;
    }
    case QJsonValue::String:
        return v.toString();
    case QJsonValue::Array:
    case QJsonValue::Object:
        break;
    }
    return QVariant();
}

QString Database::newId(const QString &table)
{
    const bool known = findTable(table) != nullptr;
    for (int attempt = 0; attempt < 50; ++attempt) {
        const qint64 t = QDateTime::currentMSecsSinceEpoch();
        const quint64 g = QRandomGenerator::global()->generate();
        const quint64 r = (g * 134217727ULL) >> 32;
        const QString id = QStringLiteral("qt-%1-%2").arg(QString::number(t, 36), QString::number(r, 36));
        if (!known)
            continue;
        QSqlQuery probe(connection);
        probe.prepare(QStringLiteral("SELECT 1 FROM %1 WHERE id = ?").arg(table));
        probe.addBindValue(id);
        if (probe.exec() && !probe.next())
            return id;
    }
    return QStringLiteral("qt-%1").arg(QDateTime::currentMSecsSinceEpoch());
}

QJsonArray Database::rows(const QString &table)
{
    return rows(table, nullptr);
}

QJsonArray Database::rows(const QString &table, RowsMemo *memo)
{
    if (!findTable(table))
        return QJsonArray();
    QJsonArray result;
    if (rowsDirect(table, memo, &result))
        return result;
    if (memo)
        memo->clear();
    return rowsThroughQuery(table);
}

QJsonArray Database::rowsThroughQuery(const QString &table)
{
    QJsonArray result;
    if (!findTable(table))
        return result;

    QSqlQuery query(connection);
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT * FROM %1 WHERE deleted = 0").arg(table))) {
        qWarning() << "query failed:" << query.lastError().text();
        return result;
    }

    const QSqlRecord shape = query.record();
    const int columnCount = shape.count();
    const QJsonObject prototype = recordPrototype([&shape](int i) { return shape.fieldName(i); }, columnCount);
    QList<int> columnOfKey;
    for (auto it = prototype.constBegin(); it != prototype.constEnd(); ++it)
        columnOfKey << shape.indexOf(it.key());

    while (query.next()) {
        QJsonObject record = prototype;
        auto slot = record.begin();
        for (const int column : columnOfKey) {
            const QVariant value = query.value(column);
            if (value.isNull()) {
                slot.value() = QStringLiteral("");
            } else {
                switch (value.typeId()) {
                case QMetaType::Double:
                    slot.value() = value.toDouble();
                    break;
                case QMetaType::Int:
                case QMetaType::LongLong:
                    slot.value() = value.toLongLong();
                    break;
                default:
                    slot.value() = value.toString();
                    break;
                }
            }
            ++slot;
        }
        result.append(record);
    }
    return result;
}

#ifdef TOVANIK_HAVE_SQLITE3

namespace {

// The QSQLITE driver's handle may only be used with our sqlite3 functions when the driver plugin runs on
// this very library; a Qt that bundles its own SQLite would hand us a connection of another copy.
bool driverSharesSqlite(const QSqlDriver *driver)
{
#ifdef Q_OS_UNIX
    static const QMetaObject *checked = nullptr;
    static bool shared = false;
    const QMetaObject *meta = driver->metaObject();
    if (meta == checked)
        return shared;
    checked = meta;
    shared = false;
    Dl_info info{};
    if (!dladdr(meta, &info) || !info.dli_fname)
        return false;
    void *plugin = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    if (!plugin)
        return false;
    shared = dlsym(plugin, "sqlite3_prepare_v2") == reinterpret_cast<void *>(&sqlite3_prepare_v2)
             && dlsym(plugin, "sqlite3_column_text16") == reinterpret_cast<void *>(&sqlite3_column_text16);
    dlclose(plugin);
    return shared;
#else
    Q_UNUSED(driver)
    return false;
#endif
}

sqlite3 *sqliteHandle(const QSqlDatabase &connection)
{
    if (!connection.isOpen() || !connection.driver() || !driverSharesSqlite(connection.driver()))
        return nullptr;
    const QVariant handle = connection.driver()->handle();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return nullptr;
    return *static_cast<sqlite3 *const *>(handle.constData());
}

bool isAscii(const char *text, int length)
{
    unsigned char any = 0;
    for (int i = 0; i < length; ++i)
        any |= static_cast<unsigned char>(text[i]);
    return any < 0x80;
}

// One value as the driver would give it: NULL as "", reals and integers as numbers, text as the
// driver's UTF-16 reading of it, a blob as its bytes read as UTF-8.
QJsonValue columnValue(sqlite3_stmt *statement, int column)
{
    switch (sqlite3_column_type(statement, column)) {
    case SQLITE_NULL:
        return QStringLiteral("");
    case SQLITE_FLOAT:
        return sqlite3_column_double(statement, column);
    case SQLITE_INTEGER:
        return static_cast<qint64>(sqlite3_column_int64(statement, column));
    case SQLITE_BLOB: {
        const auto *bytes = static_cast<const char *>(sqlite3_column_blob(statement, column));
        return QString::fromUtf8(bytes, sqlite3_column_bytes(statement, column));
    }
    default: {
        const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(statement, column));
        const int length = sqlite3_column_bytes(statement, column);
        if (isAscii(text, length))
            return QString::fromLatin1(text, length);
        // SQLite's own conversion, as the driver uses it, also for text that is not valid UTF-8.
        const auto *wide = static_cast<const QChar *>(sqlite3_column_text16(statement, column));
        return QString(wide, sqlite3_column_bytes16(statement, column) / int(sizeof(QChar)));
    }
    }
}

// The row's stored values, type and bytes of each column: equal keys mean equal Records. Written into
// a buffer that keeps its capacity from row to row.
void rawRow(sqlite3_stmt *statement, int columnCount, std::string *raw)
{
    raw->clear();
    for (int column = 0; column < columnCount; ++column) {
        const int type = sqlite3_column_type(statement, column);
        raw->push_back(char(type));
        switch (type) {
        case SQLITE_NULL:
            break;
        case SQLITE_FLOAT: {
            const double value = sqlite3_column_double(statement, column);
            raw->append(reinterpret_cast<const char *>(&value), sizeof value);
            break;
        }
        case SQLITE_INTEGER: {
            const sqlite3_int64 value = sqlite3_column_int64(statement, column);
            raw->append(reinterpret_cast<const char *>(&value), sizeof value);
            break;
        }
        default: {
            const void *bytes = type == SQLITE_BLOB ? sqlite3_column_blob(statement, column)
                                                    : static_cast<const void *>(sqlite3_column_text(statement, column));
            const int length = sqlite3_column_bytes(statement, column);
            raw->append(reinterpret_cast<const char *>(&length), sizeof length);
            raw->append(static_cast<const char *>(bytes), size_t(length));
            break;
        }
        }
    }
}

// Changes as the database counts them: rows written by this connection, commits by other
// connections, and schema changes. Equal stamps on one connection mean the same data.
QByteArray changeStamp(sqlite3 *handle)
{
    QByteArray stamp = QByteArray::number(quintptr(handle)) + ' ' + QByteArray::number(sqlite3_total_changes(handle));
    for (const char *pragma : {"PRAGMA data_version", "PRAGMA schema_version"}) {
        sqlite3_stmt *statement = nullptr;
        if (sqlite3_prepare_v2(handle, pragma, -1, &statement, nullptr) != SQLITE_OK
            || sqlite3_step(statement) != SQLITE_ROW) {
            sqlite3_finalize(statement);
            return QByteArray();
        }
        stamp += ' ' + QByteArray::number(sqlite3_column_int64(statement, 0));
        sqlite3_finalize(statement);
    }
    return stamp;
}

} // namespace

bool Database::readsDirectly() const
{
    return sqliteHandle(connection) != nullptr;
}

bool Database::rowsDirect(const QString &table, RowsMemo *memo, QJsonArray *result)
{
    sqlite3 *handle = sqliteHandle(connection);
    if (!handle)
        return false;
    const QByteArray stamp = memo ? changeStamp(handle) : QByteArray();
    if (memo && !stamp.isEmpty() && memo->table == table && memo->stamp == stamp) {
        *result = memo->result;
        return true;
    }
    const QByteArray sql = QStringLiteral("SELECT * FROM %1 WHERE deleted = 0").arg(table).toUtf8();
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(handle, sql.constData(), int(sql.size()), &statement, nullptr) != SQLITE_OK) {
        sqlite3_finalize(statement);
        return false;
    }

    const int columnCount = sqlite3_column_count(statement);
    QStringList columns;
    for (int i = 0; i < columnCount; ++i)
        columns << QString::fromUtf8(sqlite3_column_name(statement, i));
    const QJsonObject prototype = recordPrototype([&columns](int i) { return columns.at(i); }, columnCount);
    QList<int> columnOfKey;
    for (auto it = prototype.constBegin(); it != prototype.constEnd(); ++it)
        columnOfKey << int(columns.indexOf(it.key()));

    QHash<QByteArray, QJsonObject> earlier;
    if (memo && memo->table == table && memo->columns == columns)
        earlier.swap(memo->records);
    QHash<QByteArray, QJsonObject> kept;
    kept.reserve(earlier.size());

    // A step that fails ends the reading where it is, as QSqlQuery::next() does.
    std::string raw;
    int step;
    while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
        rawRow(statement, columnCount, &raw);
        const auto found = earlier.constFind(QByteArray::fromRawData(raw.data(), qsizetype(raw.size())));
        if (found != earlier.cend()) {
            result->append(*found);
            // The earlier key is shared, not copied: an unchanged row costs no allocation.
            kept.insert(found.key(), *found);
            continue;
        }
        QJsonObject record = prototype;
        auto slot = record.begin();
        for (const int column : columnOfKey) {
            slot.value() = columnValue(statement, column);
            ++slot;
        }
        result->append(record);
        if (memo)
            kept.insert(QByteArray(raw.data(), qsizetype(raw.size())), record);
    }
    sqlite3_finalize(statement);

    if (memo) {
        memo->table = table;
        memo->columns = columns;
        memo->records.swap(kept);
        // A reading cut short by a failed step is not given back again.
        memo->result = *result;
        memo->stamp = step == SQLITE_DONE ? stamp : QByteArray();
    }
    return true;
}

#else

bool Database::readsDirectly() const
{
    return false;
}

bool Database::rowsDirect(const QString &, RowsMemo *, QJsonArray *)
{
    return false;
}

#endif

QJsonObject Database::counts()
{
    QJsonObject result;
    for (const TableInfo &table : tables()) {
        QSqlQuery query(connection);
        int count = 0;
        if (query.exec(QStringLiteral("SELECT COUNT(*) FROM %1 WHERE deleted = 0").arg(table.key)) && query.next())
            count = query.value(0).toInt();
        result.insert(table.key, count);
    }
    return result;
}

QString Database::upsert(const QString &table, const QJsonObject &record, QString *error)
{
    const TableInfo *info = findTable(table);
    if (!info) {
        setError(error, QStringLiteral("未知表"));
        return QString();
    }

    QJsonObject copy = record;
    if (recordText(copy, QStringLiteral("id")).isEmpty())
        copy.insert(QStringLiteral("id"), newId(table));

    RecordWriter writer(connection, *info);
    if (!writer.write(copy)) {
        setError(error, writer.errorText());
        return QString();
    }
    return recordText(copy, QStringLiteral("id"));
}

bool Database::updateRecord(const QString &table, const QString &id, const QJsonObject &values, QString *error)
{
    const TableInfo *info = findTable(table);
    if (!info) {
        setError(error, QStringLiteral("未知表"));
        return false;
    }

    QStringList assignments;
    QVariantList binds;
    for (const QString &column : info->columns) {
        if (column == QLatin1String("updatedAt") || column == QLatin1String("createdAt"))
            continue;
        if (!values.contains(column))
            continue;
        assignments << column + QStringLiteral(" = ?");
        binds << toSqlValue(values.value(column));
    }
    if (assignments.isEmpty())
        return false;

    const QString now = nowText();
    if (info->columns.contains(QStringLiteral("updatedAt"))) {
        assignments << QStringLiteral("updatedAt = ?");
        binds << now;
    }
    assignments << QStringLiteral("serverUpdatedAt = ?");
    binds << now;
    binds << id;

    QSqlQuery query(connection);
    if (!query.prepare(QStringLiteral("UPDATE %1 SET %2 WHERE id = ?").arg(table, assignments.join(QStringLiteral(", "))))) {
        setError(error, driverError(query));
        return false;
    }
    for (const QVariant &value : binds)
        query.addBindValue(value);
    if (!query.exec()) {
        setError(error, driverError(query));
        return false;
    }
    return true;
}

bool Database::softDelete(const QString &table, const QString &id, QString *error)
{
    if (!findTable(table))
        return false;
    QSqlQuery query(connection);
    query.prepare(QStringLiteral("UPDATE %1 SET deleted = 1, serverUpdatedAt = ? WHERE id = ?").arg(table));
    query.addBindValue(nowText());
    query.addBindValue(id);
    if (!query.exec()) {
        setError(error, driverError(query));
        return false;
    }
    return true;
}

bool Database::hasChildren(const QString &table, const QString &id)
{
    if (id.isEmpty())
        return false;
    if (table != QLatin1String("categories") && table != QLatin1String("locations"))
        return false;
    QSqlQuery query(connection);
    query.prepare(QStringLiteral("SELECT 1 FROM %1 WHERE parentId = ? AND deleted = 0 LIMIT 1").arg(table));
    query.addBindValue(id);
    return query.exec() && query.next();
}

int Database::countItemsUsing(const QString &table, const QString &id)
{
    if (id.isEmpty())
        return 0;
    QString column;
    if (table == QLatin1String("categories"))
        column = QStringLiteral("categoryId");
    else if (table == QLatin1String("locations"))
        column = QStringLiteral("locationId");
    else
        return 0;
    QSqlQuery query(connection);
    query.prepare(QStringLiteral("SELECT COUNT(*) FROM items WHERE %1 = ? AND deleted = 0").arg(column));
    query.addBindValue(id);
    if (query.exec() && query.next())
        return query.value(0).toInt();
    return 0;
}
