#include "storage/database.h"

#include "catalogue/catalogue.h"
#include "catalogue/records.h"
#include "storage/clock.h"
#include "storage/csvimport.h"
#include "storage/dailybackup.h"
#include "storage/diskspace.h"
#include "storage/documentsource.h"
#include "storage/durablefile.h"
#include "storage/importplanner.h"
#include "storage/readsession.h"
#include "storage/recordwriter.h"
#include "storage/restoreplanner.h"
#include "storage/rowreader.h"
#include "storage/schema.h"
#include "storage/snapshotreader.h"
#include "storage/snapshotwriter.h"
#include "storage/storagefault.h"
#include "storage/storagethread.h"
#include "storage/tablereader.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSqlError>
#include <QSqlQuery>

namespace {

const char *const connectionName = "plindor";

QString driverError(const QSqlQuery &query)
{
    return storagefault::describe(query.lastError());
}

// Several statements on a thread's own reader see one state of the database; a session or the writer's
// connection has its transaction already.
class ReadTransaction
{
public:
    ReadTransaction(const QSqlDatabase &connection, bool needed)
        : connection(connection)
        , began(needed && QSqlQuery(connection).exec(QStringLiteral("BEGIN")))
    {
    }
    ~ReadTransaction()
    {
        if (began)
            QSqlQuery(connection).exec(QStringLiteral("COMMIT"));
    }
    Q_DISABLE_COPY(ReadTransaction)

private:
    QSqlDatabase connection;
    bool began;
};

// The calling thread's read-only connection, kept between readings and opened again after the
// database was (a restore replaces the file).
struct ThreadReader
{
    QString name;
    quint64 opening = 0;
    quint64 serial = 0;

    void close()
    {
        if (name.isEmpty())
            return;
        QSqlDatabase::database(name, false).close();
        QSqlDatabase::removeDatabase(name);
        name.clear();
    }
};

thread_local ThreadReader threadReading;

} // namespace

Database &Database::instance()
{
    static Database database;
    return database;
}

void Database::setWriterThread(StorageThread *writer)
{
    writerHome.store(writer ? writer->home() : nullptr);
}

void Database::onConnectionThread(const std::function<void()> &work)
{
    if (Mailbox *home = writerElsewhere())
        callOn(home, work);
    else
        work();
}

Mailbox *Database::writerElsewhere() const
{
    Mailbox *home = writerHome.load();
    return home && home->thread() != QThread::currentThread() ? home : nullptr;
}

void Database::setFailure(const QString &text)
{
    std::lock_guard<std::mutex> lock(stateMutex);
    failure = text;
}

QString Database::fileName() const
{
    std::lock_guard<std::mutex> lock(stateMutex);
    return databaseFile;
}

QSqlDatabase Database::reading(quint64 *serial)
{
    if (ReadSession *session = ReadSession::current()) {
        if (serial)
            *serial = session->serial();
        return session->database();
    }
    if (!readsOnThreadReader()) {
        if (serial)
            *serial = openings.load();
        return connection;
    }
    return threadReader(serial);
}

QSqlDatabase Database::threadReader(quint64 *serial)
{
    ThreadReader &reader = threadReading;
    const quint64 opening = openings.load();
    if (!opened.load() || ReadSession::isHeld()) {
        reader.close();
        return QSqlDatabase();
    }
    if (reader.name.isEmpty() || reader.opening != opening) {
        reader.close();
        reader.serial = ReadSession::newSerial();
        reader.name = QStringLiteral("plindor-thread-%1").arg(reader.serial);
        reader.opening = opening;
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), reader.name);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=5000"));
        db.setDatabaseName(fileName());
        db.open();
    }
    if (serial)
        *serial = reader.serial;
    return QSqlDatabase::database(reader.name, false);
}

bool Database::readsOnThreadReader() const
{
    return !ReadSession::current() && !ownsConnection() && writerHome.load();
}

void Database::closeReading()
{
    threadReading.close();
}

bool Database::open(const QString &path, QString *error)
{
    if (Mailbox *home = writerElsewhere())
        return callOn(home, [&] { return open(path, error); });
    if (connection.isOpen() && path == databaseFile && failure.isEmpty())
        return true;
    if (connection.isOpen()) {
        opened.store(false);
        connection.close();
    }

    // A folder made here is flushed into its parent: the database's own flushes keep its file, not the
    // folder's name. One that cannot be made shows when the file cannot be opened.
    durablefile::makeFolder(QFileInfo(path).absolutePath(), nullptr);

    // Drop our handle first so that the earlier registration is replaced quietly.
    connection = QSqlDatabase();
    if (QSqlDatabase::contains(QString::fromLatin1(connectionName)))
        QSqlDatabase::removeDatabase(QString::fromLatin1(connectionName));
    connection = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QString::fromLatin1(connectionName));
    connection.setDatabaseName(path);
    // Known even when opening fails, so that a backup can still be restored over the file.
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        databaseFile = path;
    }
    openedOn.store(QThread::currentThread());
    if (!connection.open()) {
        setFailure(QStringLiteral("打开数据库失败: ") + connection.lastError().text());
        storagefault::report(error, failure);
        return false;
    }
    ++openings;

    setFailure(QString());
    {
        QSqlQuery pragma(connection);
        pragma.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
        pragma.exec(QStringLiteral("PRAGMA busy_timeout=5000"));
        // Once checkpointed, a log grown by a large push is cut back to this size.
        pragma.exec(QStringLiteral("PRAGMA journal_size_limit=4194304"));
        // Some builds zero every freed page: removing old versions would then write gigabytes of zeros.
        // FAST still clears what lies in the tree's own pages; compaction drops the rest.
        pragma.exec(QStringLiteral("PRAGMA secure_delete=FAST"));
    }
    const bool usable = flushesEveryCommit(error) && createTables(error) && checkUsable(error);
    opened.store(connection.isOpen());
    return usable;
}

void Database::close()
{
    if (Mailbox *home = writerElsewhere())
        return callOn(home, [this] { close(); });
    if (!connection.isOpen())
        return;
    opened.store(false);
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
    return opened.load();
}

bool Database::emptyLog(QString *driverText)
{
    if (Mailbox *home = writerElsewhere())
        return callOn(home, [&] { return emptyLog(driverText); });
    QSqlQuery checkpoint(connection);
    if (checkpoint.exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)")) && checkpoint.next()
        && checkpoint.value(0).toInt() == 0)
        return true;
    storagefault::report(driverText, checkpoint.lastError().text());
    return false;
}

QString Database::unusableReason() const
{
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        if (!failure.isEmpty())
            return failure;
    }
    return opened.load() ? QString() : storagefault::describe(storagefault::ClosedConnection, QString());
}

bool Database::refuse(const QSqlError &fault, const QString &fallback, QString *error)
{
    const int code = storagefault::codeOf(fault);
    const QString detail = !fault.databaseText().isEmpty() ? fault.databaseText()
                           : fault.text().isEmpty() ? storagefault::describe(storagefault::ClosedConnection, QString())
                                                    : fault.text();
    const QString reason = storagefault::fileFault(code, detail);
    if (reason.isEmpty()) {
        setFailure(fallback + detail);
        storagefault::report(error, failure);
        return false;
    }
    setFailure(reason);
    storagefault::report(error, reason + QStringLiteral("\n\n") + storagefault::fileAdvice(code, databaseFile));
    // A damaged file is not written to again: the operator restores a backup instead. A read-only one
    // stays open so that its rows can still be looked at.
    if (!storagefault::isReadOnly(code)) {
        opened.store(false);
        connection.close();
    }
    return false;
}

// A push is answered only once it is on the disk: the log is flushed at every commit, whatever this
// build of SQLite does by default.
bool Database::flushesEveryCommit(QString *error)
{
    const QString fallback =
        QStringLiteral("无法让数据库在每次写入后落盘（PRAGMA synchronous=FULL 未生效），断电时可能丢失数据: ");
    QSqlQuery query(connection);
    // A file that cannot be read fails here first, and is named as such.
    if (!query.exec(QStringLiteral("PRAGMA synchronous=FULL")) || !query.exec(QStringLiteral("PRAGMA synchronous"))
        || !query.next())
        return refuse(query.lastError(), fallback, error);
    if (query.value(0).toInt() == 2)
        return true;
    setFailure(fallback + QStringLiteral("synchronous = %1").arg(query.value(0).toString()));
    storagefault::report(error, failure);
    return false;
}

bool Database::checkUsable(QString *error)
{
    if (Mailbox *home = writerElsewhere())
        return callOn(home, [&] { return checkUsable(error); });
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
            return refuse(
                QSqlError(QString(), detail, QSqlError::StatementError, QString::number(storagefault::Corrupt)),
                QString(), error);
        }
    }

    // A read-only file, folder, -wal or -shm shows only when a write begins. The write is undone at once.
    if (!query.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        const int code = storagefault::codeOf(query.lastError());
        // Another program holding the write lock says nothing about the file.
        if (code == storagefault::Busy || code == storagefault::Locked)
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
    for (const schema::Table &table : schema::tables()) {
        if (!query.exec(table.createStatement))
            return refuse(query.lastError(), QStringLiteral("建表失败 ") + table.name + QStringLiteral(": "), error);
    }
    return true;
}

QString Database::nowText()
{
    return Clock::now().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
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
        if (const std::optional<qint64> i = wholeNumber(d))
            return *i;
        return d;
    }
    case QJsonValue::String:
        return storableText(v.toString());
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
        QSqlQuery probe(reading());
        probe.prepare(QStringLiteral("SELECT 1 FROM %1 WHERE id = ?").arg(table));
        probe.addBindValue(id);
        if (probe.exec() && !probe.next())
            return id;
    }
    return QStringLiteral("qt-%1").arg(QDateTime::currentMSecsSinceEpoch());
}

QJsonArray Database::rows(const QString &table)
{
    return rows(table, nullptr, nullptr);
}

QJsonArray Database::rows(const QString &table, RowsMemo *memo)
{
    return rows(table, memo, nullptr);
}

QJsonArray Database::rowsThroughQuery(const QString &table, RowsMemo *memo)
{
    quint64 serial = 0;
    const QSqlDatabase db = reading(&serial);
    return RowReader(db, serial).records(table, memo, false, nullptr);
}

QJsonArray Database::rows(const QString &table, RowsMemo *memo, QString *error)
{
    quint64 serial = 0;
    const QSqlDatabase db = reading(&serial);
    return RowReader(db, serial).records(table, memo, true, error);
}

bool Database::readTable(const QString &table, RowTable *rows, QString *error)
{
    quint64 serial = 0;
    const QSqlDatabase db = reading(&serial);
    return RowReader(db, serial).readTable(table, rows, error);
}

bool Database::readsDirectly() const
{
    return TableReader::sharedHandle(const_cast<Database *>(this)->reading()) != nullptr;
}

QJsonObject Database::counts()
{
    return counts(nullptr);
}

QJsonObject Database::counts(QString *error)
{
    const QSqlDatabase db = reading();
    const ReadTransaction transaction(db, readsOnThreadReader());
    QJsonObject result;
    for (const TableInfo &table : tables()) {
        QSqlQuery query(db);
        int count = 0;
        if (query.exec(QStringLiteral("SELECT COUNT(*) FROM %1 WHERE deleted = 0").arg(table.key)) && query.next())
            count = query.value(0).toInt();
        else
            storagefault::report(error, driverError(query));
        result.insert(table.key, count);
    }
    return result;
}

QString Database::upsert(const QString &table, const QJsonObject &record, QString *error)
{
    if (Mailbox *home = writerElsewhere())
        return callOn(home, [&] { return upsert(table, record, error); });
    const TableInfo *info = findTable(table);
    if (!info) {
        storagefault::report(error, QStringLiteral("未知表"));
        return QString();
    }

    QJsonObject copy = record;
    QString id = recordId(copy);
    if (id.isEmpty()) {
        id = newId(table);
        copy.insert(QStringLiteral("id"), id);
    }

    RecordWriter writer(connection, *info);
    if (!writer.write(copy)) {
        storagefault::report(error, writer.errorText());
        return QString();
    }
    return id;
}

bool Database::updateRecord(const QString &table, const QString &id, const QJsonObject &values, QString *error)
{
    if (Mailbox *home = writerElsewhere())
        return callOn(home, [&] { return updateRecord(table, id, values, error); });
    const TableInfo *info = findTable(table);
    if (!info) {
        storagefault::report(error, QStringLiteral("未知表"));
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
    binds << storableText(id);

    QSqlQuery query(connection);
    if (!query.prepare(
            QStringLiteral("UPDATE %1 SET %2 WHERE id = ?").arg(table, assignments.join(QStringLiteral(", "))))) {
        storagefault::report(error, driverError(query));
        return false;
    }
    for (const QVariant &value : binds)
        query.addBindValue(value);
    if (!query.exec()) {
        storagefault::report(error, driverError(query));
        return false;
    }
    return true;
}

bool Database::softDelete(const QString &table, const QString &id, QString *error)
{
    if (Mailbox *home = writerElsewhere())
        return callOn(home, [&] { return softDelete(table, id, error); });
    if (!findTable(table))
        return false;
    QSqlQuery query(connection);
    if (!query.prepare(QStringLiteral("UPDATE %1 SET deleted = 1, serverUpdatedAt = ? WHERE id = ?").arg(table))) {
        storagefault::report(error, driverError(query));
        return false;
    }
    query.addBindValue(nowText());
    query.addBindValue(storableText(id));
    if (!query.exec()) {
        storagefault::report(error, driverError(query));
        return false;
    }
    return true;
}

bool Database::hasChildren(const QString &table, const QString &id)
{
    if (id.isEmpty())
        return false;
    if (!isTreeTable(table))
        return false;
    QSqlQuery query(reading());
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
    QSqlQuery query(reading());
    query.prepare(QStringLiteral("SELECT COUNT(*) FROM items WHERE %1 = ? AND deleted = 0").arg(column));
    query.addBindValue(id);
    if (query.exec() && query.next())
        return query.value(0).toInt();
    return 0;
}

bool Database::beginWrite(QString *error)
{
    // IMMEDIATE takes the write lock before anything is read, so no other connection can commit between
    // a reading and the writes that rely on it.
    QSqlQuery query(connection);
    if (query.exec(QStringLiteral("BEGIN IMMEDIATE")))
        return true;
    storagefault::report(error, driverError(query));
    return false;
}

bool Database::commitWrite(QString *error)
{
    QSqlQuery query(connection);
    if (query.exec(QStringLiteral("COMMIT")))
        return true;
    storagefault::report(error, driverError(query));
    rollbackWrite();
    return false;
}

void Database::rollbackWrite()
{
    QSqlQuery(connection).exec(QStringLiteral("ROLLBACK"));
}

MergeResult Database::merge(const QJsonObject &document)
{
    return merge(DocumentSource(document));
}

MergeResult Database::merge(const RecordSource &document)
{
    return merge(document, QString(), QString());
}

MergeResult Database::merge(const RecordSource &document, const QString &versionReason, const QString &versionSource)
{
    if (Mailbox *home = writerElsewhere())
        return callOn(home, [&] { return merge(document, versionReason, versionSource); });
    // One transaction for the version and the whole push: one write to disk instead of one per row, and
    // a fault anywhere leaves the master exactly as it was. A row that a constraint refuses is skipped on
    // its own; the rows written before and after it still commit.
    MergeResult result;
    QString fault;
    if (!beginWrite(&fault))
        return MergeResult{{}, {}, fault, true};
    if ((versionReason.isEmpty() || saveVersion(versionReason, versionSource, &fault))
        && Merger(connection).mergeTables(document, &result, &fault) && commitWrite(&fault))
        return result;
    rollbackWrite();
    return MergeResult{{}, {}, fault};
}

QJsonObject Database::snapshotDocument()
{
    QJsonObject document{
        {QStringLiteral("app"), QStringLiteral("plindor")}, {QStringLiteral("protocol"), 1},
        {QStringLiteral("exportedAt"), nowText()},          {QStringLiteral("deviceName"), QStringLiteral("电脑主库")},
        {QStringLiteral("platform"), QStringLiteral("qt")},
    };
    for (const TableInfo &table : tables())
        document.insert(table.key, rows(table.key));
    return document;
}

QByteArray Database::snapshotText(QString *error)
{
    const QSqlDatabase db = reading();
    const ReadTransaction transaction(db, readsOnThreadReader());
    return snapshotwriter::write(db, nowText(), error);
}

bool Database::saveVersion(const QString &reason, const QString &source, QString *error)
{
    if (Mailbox *home = writerElsewhere())
        return callOn(home, [&] { return saveVersion(reason, source, error); });
    // A version is a whole document or none: a reading cut short would be taken for the data as it was.
    QString failure;
    const QJsonObject tableCounts = counts(&failure);
    const QByteArray snapshot = failure.isEmpty() ? snapshotText(&failure) : QByteArray();
    if (failure.isEmpty())
        failure = diskspace::check(databaseFile, snapshot.size());
    if (!failure.isEmpty()) {
        storagefault::report(error, failure);
        return false;
    }
    if (!VersionHistory(connection).add(nowText(), reason, source, tableCounts, snapshot, versionsKept, error))
        return false;
    lastVersionBytes = snapshot.size();
    return true;
}

bool Database::rollbackTo(int versionId, const QString &source, QString *error)
{
    if (Mailbox *home = writerElsewhere())
        return callOn(home, [&] { return rollbackTo(versionId, source, error); });
    VersionHistory history(connection);
    QByteArray text;
    if (!history.snapshot(versionId, &text, error))
        return false;
    const SnapshotReader document(text);
    text.clear();
    if (!document.isObject() || document.isEmptyObject())
        return false;

    // One transaction for both versions and all rows: a fault or a crash half-way leaves the data as it
    // was, not half rolled back. A row that a constraint refuses is skipped; the rows around it commit.
    QString fault;
    if (!beginWrite(&fault)) {
        storagefault::report(error, fault);
        return false;
    }
    if (saveVersion(QStringLiteral("回滚前自动存档"), source, &fault) && history.writeBack(document, &fault)
        && saveVersion(QStringLiteral("回滚到版本 #%1").arg(versionId), source, &fault) && commitWrite(&fault))
        return true;
    rollbackWrite();
    storagefault::report(error, fault);
    return false;
}

bool Database::readSnapshots(const QString &file, const QList<int> &versionIds, QList<QByteArray> *texts,
                             QString *error)
{
    const ReadSession session(file);
    if (!session.isOpen()) {
        storagefault::report(error, session.error());
        return false;
    }
    texts->clear();
    for (const int versionId : versionIds) {
        QByteArray text;
        QString fault;
        if (versionId == 0)
            text = instance().snapshotText(&fault);
        else if (!VersionHistory(session.database()).snapshot(versionId, &text, &fault) && fault.isEmpty())
            fault = QStringLiteral("版本 #%1 已不在历史里").arg(versionId);
        if (!fault.isEmpty()) {
            storagefault::report(error, fault);
            return false;
        }
        texts->append(std::move(text));
    }
    return true;
}

bool Database::restoreRows(const PartialRestore &restore, QString *error)
{
    if (Mailbox *home = writerElsewhere())
        return callOn(home, [&] { return restoreRows(restore, error); });
    QString fault;
    if (!beginWrite(&fault)) {
        storagefault::report(error, fault);
        return false;
    }
    // Every row is stamped now, so that a phone's older copy does not win the next merge over it and the
    // next pull carries it. A row refused is a fault here: a restore goes whole or not at all.
    const auto written = [&]() {
        if (!saveVersion(QStringLiteral("恢复部分行前"), QStringLiteral("qt-ui"), &fault))
            return false;
        const QString now = RecordWriter::stampNow();
        for (const TableInfo &table : tables()) {
            const bool stamped = table.columns.contains(QStringLiteral("updatedAt"));
            RecordWriter writer(connection, table);
            for (QJsonObject record : restore.rowsBack.value(table.key)) {
                if (stamped)
                    record.insert(QStringLiteral("updatedAt"), now);
                if (!writer.write(record)) {
                    fault = writer.errorText();
                    return false;
                }
            }
            const QStringList removals = restore.removals.value(table.key);
            if (removals.isEmpty())
                continue;
            QSqlQuery remove(connection);
            remove.prepare(QStringLiteral("UPDATE %1 SET deleted = 1, serverUpdatedAt = ?%2 WHERE id = ?")
                               .arg(table.key, stamped ? QStringLiteral(", updatedAt = ?") : QString()));
            for (const QString &id : removals) {
                remove.addBindValue(now);
                if (stamped)
                    remove.addBindValue(now);
                remove.addBindValue(storableText(id));
                if (!remove.exec()) {
                    fault = driverError(remove);
                    return false;
                }
            }
        }
        return logSyncChecked(QStringLiteral("qt-ui"), QStringLiteral("恢复"),
                              QStringLiteral("从版本 #%1 恢复 %2 行").arg(restore.versionId).arg(restore.rowCount()),
                              &fault);
    };
    if (written() && commitWrite(&fault))
        return true;
    rollbackWrite();
    storagefault::report(error, fault);
    return false;
}

bool Database::importBasis(const QString &table, ImportBasis *basis, QString *error)
{
    const TableInfo *info = findTable(table);
    if (!info) {
        storagefault::report(error, QStringLiteral("未知表"));
        return false;
    }
    QString fault;
    if (!readTable(table, &basis->rows, &fault)
        || !CsvImport(reading()).deletedIds(table, &basis->deletedIds, &fault)) {
        storagefault::report(error, fault);
        return false;
    }
    for (const QString &column : info->columns) {
        const QString target = ImportPlanner::referencedTable(column, table);
        if (target.isEmpty() || basis->targets.contains(target))
            continue;
        RowTable targetRows;
        if (target != table && !readTable(target, &targetRows, &fault)) {
            storagefault::report(error, fault);
            return false;
        }
        basis->targets.insert(target, CsvImport::targetsOf(target == table ? basis->rows : targetRows));
    }
    return true;
}

bool Database::importRows(const ImportPlan &plan, const QString &fileName, QString *error)
{
    if (Mailbox *home = writerElsewhere())
        return callOn(home, [&] { return importRows(plan, fileName, error); });
    const TableInfo *info = findTable(plan.table);
    if (!info) {
        storagefault::report(error, QStringLiteral("未知表"));
        return false;
    }
    if (plan.rows.isEmpty())
        return true;
    QString fault;
    if (!beginWrite(&fault)) {
        storagefault::report(error, fault);
        return false;
    }
    // The ids are all made before any row is written, so newId's probe cannot see the ones made here:
    // two rows made in the same millisecond may draw the same one, or one the file gives another row.
    QList<ImportRow> written = plan.rows;
    QSet<QString> taken;
    for (const ImportRow &row : written)
        taken.insert(recordId(row.values));
    for (ImportRow &row : written) {
        if (!row.isNew || !recordId(row.values).isEmpty())
            continue;
        QString id;
        do
            id = newId(plan.table);
        while (taken.contains(id));
        taken.insert(id);
        row.values.insert(QStringLiteral("id"), id);
    }
    if (saveVersion(QStringLiteral("导入 CSV 前"), QStringLiteral("qt"), &fault)
        && CsvImport(connection).write(*info, written, &fault)) {
        logSync(QStringLiteral("qt-ui"), QStringLiteral("导入"),
                QStringLiteral("新增 %1 / 更新 %2（%3）").arg(plan.inserts()).arg(plan.updates()).arg(fileName));
        if (commitWrite(&fault))
            return true;
    }
    rollbackWrite();
    storagefault::report(error, fault);
    return false;
}

void Database::logSync(const QString &peer, const QString &direction, const QString &summary)
{
    if (Mailbox *home = writerElsewhere())
        return callOn(home, [&] { logSync(peer, direction, summary); });
    logSyncChecked(peer, direction, summary, nullptr);
}

bool Database::logSyncChecked(const QString &peer, const QString &direction, const QString &summary, QString *error)
{
    QSqlQuery query(connection);
    query.prepare(QStringLiteral("INSERT INTO sync_log (createdAt, peer, direction, summary) VALUES (?,?,?,?)"));
    query.addBindValue(nowText());
    query.addBindValue(peer);
    query.addBindValue(direction);
    query.addBindValue(summary);
    if (query.exec())
        return true;
    storagefault::report(error, driverError(query));
    return false;
}

QJsonArray Database::recentSyncLog(int limit)
{
    QJsonArray result;
    QSqlQuery query(reading());
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT createdAt, peer, direction, summary FROM sync_log ORDER BY id DESC LIMIT ?"));
    query.addBindValue(limit);
    if (!query.exec())
        return result;
    while (query.next()) {
        result.append(QJsonObject{
            {QStringLiteral("at"), query.value(0).toString()},
            {QStringLiteral("peer"), query.value(1).toString()},
            {QStringLiteral("action"), query.value(2).toString()},
            {QStringLiteral("detail"), query.value(3).toString()},
        });
    }
    return result;
}

int Database::clearSyncLog()
{
    if (Mailbox *home = writerElsewhere())
        return callOn(home, [this] { return clearSyncLog(); });
    int count = 0;
    QSqlQuery query(connection);
    if (query.exec(QStringLiteral("SELECT COUNT(*) FROM sync_log")) && query.next())
        count = query.value(0).toInt();
    query.exec(QStringLiteral("DELETE FROM sync_log"));
    query.exec(QStringLiteral("DELETE FROM sqlite_sequence WHERE name = 'sync_log'"));
    return count;
}

bool Database::dailyBackupDue() const
{
    if (Mailbox *home = writerElsewhere())
        return callOn(home, [this] { return dailyBackupDue(); });
    // A file that failed its check is not copied: its copy would push good ones out of the rotation.
    return failure.isEmpty() && DailyBackup(connection, databaseFile, backupsKept).due();
}

QString Database::dailyBackup(QStringList *notes)
{
    if (Mailbox *home = writerElsewhere())
        return callOn(home, [&] { return dailyBackup(notes); });
    DailyBackup backup(connection, databaseFile, backupsKept);
    if (!failure.isEmpty() || !backup.due())
        return QString();
    return backup.make(notes);
}

bool Database::restoreFrom(const QString &backupFile, QString *setAsidePath, QString *error,
                           const RestoreProgress &progress)
{
    if (Mailbox *home = writerElsewhere())
        return callOn(home, [&] { return restoreFrom(backupFile, setAsidePath, error, progress); });
    return Restorer(*this, progress).restore(backupFile, setAsidePath, error);
}

StorageFigures Database::storageFigures()
{
    return StorageFigures::read(reading(), fileName(), lastVersionBytes.load());
}

int Database::noteVersionSizes(int batch)
{
    if (Mailbox *home = writerElsewhere())
        return callOn(home, [&] { return noteVersionSizes(batch); });
    if (!connection.isOpen() || !failure.isEmpty())
        return 0;
    return qMax(VersionHistory(connection).noteMissingSizes(batch), 0);
}

Retention Database::retentionPlan(int keepVersions, int keepBackups)
{
    Retention plan;
    const StorageFigures figures = storageFigures();
    plan.versions = qMax(0, figures.versions - keepVersions);
    if (plan.versions > 0)
        plan.versionBytes =
            VersionHistory(reading()).sizes(plan.versions).bytes(figures.versionBytes / figures.versions);
    const QString file = fileName();
    if (!file.isEmpty()) {
        const QDir folder(backupFolder());
        const QStringList surplus = DailyBackup(reading(), file, keepBackups).surplus();
        plan.backups = int(surplus.size());
        for (const QString &name : surplus)
            plan.backupBytes += QFileInfo(folder.absoluteFilePath(name)).size();
    }
    return plan;
}

Retention Database::setRetention(int keepVersions, int keepBackups)
{
    if (Mailbox *home = writerElsewhere())
        return callOn(home, [&] { return setRetention(keepVersions, keepBackups); });
    Retention done = retentionPlan(keepVersions, keepBackups);
    versionsKept = keepVersions;
    backupsKept = keepBackups;
    if (connection.isOpen() && failure.isEmpty()) {
        const int removed = VersionHistory(connection).prune(versionsKept, &done.error);
        done.versions = qMax(removed, 0);
        if (removed <= 0)
            done.versionBytes = 0;
    } else {
        done.versions = 0;
        done.versionBytes = 0;
    }
    if (!databaseFile.isEmpty())
        done.backups = DailyBackup(connection, databaseFile, backupsKept).rotate(nullptr);
    if (done.backups == 0)
        done.backupBytes = 0;
    return done;
}

bool Database::compact(qint64 *before, qint64 *after, QString *error, const CompactProgress &progress)
{
    if (Mailbox *home = writerElsewhere())
        return callOn(home, [&] { return compact(before, after, error, progress); });
    return Compactor(*this, connection, progress).compact(before, after, error);
}
