#include "storage/tablereader.h"

#include "storage/rowtable.h"
#include "storage/snapshottext.h"
#include "storage/storagefault.h"

#include <QSqlDriver>
#include <QSqlError>
#include <QSqlRecord>

#ifdef TOVANIK_HAVE_SQLITE3
#include <sqlite3.h>
#ifdef Q_OS_UNIX
#include <dlfcn.h>
#endif
#ifdef Q_OS_WIN
#include <windows.h>
#endif
#endif

namespace {

#ifdef TOVANIK_HAVE_SQLITE3

// Whether the driver plugin that holds meta runs on the sqlite3 functions this program calls.
bool pluginSharesSqlite(const QMetaObject *meta)
{
#ifdef Q_OS_UNIX
    Dl_info info{};
    if (!dladdr(meta, &info) || !info.dli_fname)
        return false;
    void *plugin = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    if (!plugin)
        return false;
    const bool shared = dlsym(plugin, "sqlite3_prepare_v2") == reinterpret_cast<void *>(&sqlite3_prepare_v2)
                        && dlsym(plugin, "sqlite3_column_text16") == reinterpret_cast<void *>(&sqlite3_column_text16);
    dlclose(plugin);
    return shared;
#elif defined(Q_OS_WIN)
    // Windows loads a DLL of one name once per process: the driver shares our SQLite when the plugin
    // imports the very DLL that our sqlite3 functions live in, rather than carrying a copy of its own.
    HMODULE plugin = nullptr;
    HMODULE library = nullptr;
    const DWORD byAddress = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
    if (!GetModuleHandleExW(byAddress, reinterpret_cast<LPCWSTR>(meta), &plugin)
        // The version text lies inside the library itself; a function's address could be a thunk of ours.
        || !GetModuleHandleExW(byAddress, reinterpret_cast<LPCWSTR>(sqlite3_libversion()), &library)
        || plugin == library)
        return false;
    char path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(library, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return false;
    const char *libraryName = path;
    for (const char *at = path; *at; ++at) {
        if (*at == '\\' || *at == '/')
            libraryName = at + 1;
    }
    const auto *base = reinterpret_cast<const unsigned char *>(plugin);
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0)
        return false;
    for (const auto *entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR *>(base + imports.VirtualAddress);
         entry->Name != 0; ++entry) {
        if (_stricmp(reinterpret_cast<const char *>(base + entry->Name), libraryName) == 0)
            return true;
    }
    return false;
#else
    Q_UNUSED(meta)
    return false;
#endif
}

// The QSQLITE driver's handle may only be used with our sqlite3 functions when the driver plugin runs on
// this very library; a Qt that bundles its own SQLite would hand us a connection of another copy. Every
// QSQLITE connection of the process comes from the one plugin, checked once, whichever thread asks first.
bool driverSharesSqlite(const QSqlDriver *driver)
{
    static const bool shared = pluginSharesSqlite(driver->metaObject());
    return shared;
}

bool isAscii(const char *text, int length)
{
    unsigned char any = 0;
    for (int i = 0; i < length; ++i)
        any |= static_cast<unsigned char>(text[i]);
    return any < 0x80;
}

#endif

struct ValueSink
{
    QJsonValue result;
    void null() { result = QStringLiteral(""); }
    void integer(qint64 value) { result = value; }
    void real(double value) { result = value; }
    void ascii(const char *text, int length) { result = QString::fromLatin1(text, length); }
    void text(const QString &value) { result = value; }
};

struct JsonSink
{
    QByteArray &out;
    void null() { out.append("\"\"", 2); }
    void integer(qint64 value) { snapshottext::appendInteger(out, value); }
    void real(double value) { snapshottext::appendNumber(out, value); }
    void ascii(const char *text, int length) { snapshottext::appendString(out, QLatin1StringView(text, length)); }
    void text(const QString &value) { snapshottext::appendString(out, value); }
};

struct RowSink
{
    RowTable &rows;
    void null() { rows.addNull(); }
    void integer(qint64 value) { rows.addInteger(value); }
    void real(double value) { rows.addReal(value); }
    void ascii(const char *text, int length) { rows.addAscii(text, length); }
    void text(const QString &value) { rows.addText(value); }
};

// The driver's values in the order visit() hands them out, each tagged with its kind and, where its
// length varies, led by its length.
struct KeySink
{
    std::string &out;
    template<typename T>
    void add(char tag, const T &value)
    {
        out.push_back(tag);
        out.append(reinterpret_cast<const char *>(&value), sizeof value);
    }
    void null() { out.push_back('n'); }
    void integer(qint64 value) { add('i', value); }
    void real(double value) { add('r', value); }
    void ascii(const char *text, int length)
    {
        add('a', length);
        out.append(text, size_t(length));
    }
    void text(const QString &value)
    {
        add('t', value.size());
        out.append(reinterpret_cast<const char *>(value.utf16()), size_t(value.size()) * sizeof(char16_t));
    }
};

} // namespace

sqlite3 *TableReader::sharedHandle(const QSqlDatabase &connection)
{
#ifdef TOVANIK_HAVE_SQLITE3
    if (!connection.isOpen() || !connection.driver() || !driverSharesSqlite(connection.driver()))
        return nullptr;
    const QVariant handle = connection.driver()->handle();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return nullptr;
    return *static_cast<sqlite3 *const *>(handle.constData());
#else
    Q_UNUSED(connection)
    return nullptr;
#endif
}

TableReader::TableReader(const QSqlDatabase &connection, const QString &table, bool direct)
    : query(connection)
{
    const QString sql = QStringLiteral("SELECT * FROM %1 WHERE deleted = 0").arg(table);
#ifdef TOVANIK_HAVE_SQLITE3
    if (sqlite3 *handle = direct ? sharedHandle(connection) : nullptr) {
        const QByteArray utf8 = sql.toUtf8();
        const int code = sqlite3_prepare_v2(handle, utf8.constData(), int(utf8.size()), &statement, nullptr);
        if (code != SQLITE_OK) {
            sqlite3_finalize(statement);
            statement = nullptr;
            fail(code, QString::fromUtf8(sqlite3_errmsg(handle)));
            return;
        }
        const int columnCount = sqlite3_column_count(statement);
        for (int i = 0; i < columnCount; ++i)
            names << QString::fromUtf8(sqlite3_column_name(statement, i));
        return;
    }
#else
    Q_UNUSED(direct)
#endif
    query.setForwardOnly(true);
    if (!query.exec(sql)) {
        fail(0, storagefault::describe(query.lastError()));
        return;
    }
    const QSqlRecord shape = query.record();
    for (int i = 0; i < shape.count(); ++i)
        names << shape.fieldName(i);
}

TableReader::~TableReader()
{
#ifdef TOVANIK_HAVE_SQLITE3
    sqlite3_finalize(statement);
#endif
}

void TableReader::fail(int code, const QString &driverText)
{
    failure = true;
    error = code ? storagefault::describe(code, driverText) : driverText;
}

bool TableReader::next()
{
    if (failure)
        return false;
#ifdef TOVANIK_HAVE_SQLITE3
    if (statement) {
        const int code = sqlite3_step(statement);
        if (code == SQLITE_ROW)
            return true;
        if (code != SQLITE_DONE)
            fail(code, QString::fromUtf8(sqlite3_errmsg(sqlite3_db_handle(statement))));
        return false;
    }
#endif
    if (query.next())
        return true;
    if (query.lastError().isValid())
        fail(0, storagefault::describe(query.lastError()));
    return false;
}

template<typename Sink>
void TableReader::visit(int column, Sink &sink) const
{
#ifdef TOVANIK_HAVE_SQLITE3
    if (statement) {
        switch (sqlite3_column_type(statement, column)) {
        case SQLITE_NULL:
            sink.null();
            return;
        case SQLITE_FLOAT:
            sink.real(sqlite3_column_double(statement, column));
            return;
        case SQLITE_INTEGER:
            sink.integer(sqlite3_column_int64(statement, column));
            return;
        case SQLITE_BLOB: {
            const auto *bytes = static_cast<const char *>(sqlite3_column_blob(statement, column));
            sink.text(QString::fromUtf8(bytes, sqlite3_column_bytes(statement, column)));
            return;
        }
        default: {
            const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(statement, column));
            const int length = sqlite3_column_bytes(statement, column);
            if (isAscii(text, length)) {
                sink.ascii(text, length);
                return;
            }
            // SQLite's own conversion, as the driver uses it, also for text that is not valid UTF-8.
            const auto *wide = static_cast<const QChar *>(sqlite3_column_text16(statement, column));
            sink.text(QString(wide, sqlite3_column_bytes16(statement, column) / int(sizeof(QChar))));
            return;
        }
        }
    }
#endif
    const QVariant value = query.value(column);
    if (value.isNull()) {
        sink.null();
        return;
    }
    switch (value.typeId()) {
    case QMetaType::Double:
        sink.real(value.toDouble());
        return;
    case QMetaType::Int:
    case QMetaType::LongLong:
        sink.integer(value.toLongLong());
        return;
    default:
        sink.text(value.toString());
        return;
    }
}

QJsonValue TableReader::value(int column) const
{
    ValueSink sink;
    visit(column, sink);
    return sink.result;
}

void TableReader::appendJson(QByteArray &out, int column) const
{
    JsonSink sink{out};
    visit(column, sink);
}

void TableReader::appendTo(RowTable &rows, int column) const
{
    RowSink sink{rows};
    visit(column, sink);
}

void TableReader::rowKey(std::string *key) const
{
    key->clear();
    const int columnCount = int(names.size());
#ifdef TOVANIK_HAVE_SQLITE3
    if (statement) {
        for (int column = 0; column < columnCount; ++column) {
            const int type = sqlite3_column_type(statement, column);
            key->push_back(char(type));
            switch (type) {
            case SQLITE_NULL:
                break;
            case SQLITE_FLOAT: {
                const double value = sqlite3_column_double(statement, column);
                key->append(reinterpret_cast<const char *>(&value), sizeof value);
                break;
            }
            case SQLITE_INTEGER: {
                const sqlite3_int64 value = sqlite3_column_int64(statement, column);
                key->append(reinterpret_cast<const char *>(&value), sizeof value);
                break;
            }
            default: {
                const void *bytes = type == SQLITE_BLOB
                                        ? sqlite3_column_blob(statement, column)
                                        : static_cast<const void *>(sqlite3_column_text(statement, column));
                const int length = sqlite3_column_bytes(statement, column);
                key->append(reinterpret_cast<const char *>(&length), sizeof length);
                key->append(static_cast<const char *>(bytes), size_t(length));
                break;
            }
            }
        }
        return;
    }
#endif
    KeySink sink{*key};
    for (int column = 0; column < columnCount; ++column)
        visit(column, sink);
}
