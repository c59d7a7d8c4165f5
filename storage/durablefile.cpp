#include "storage/durablefile.h"

#include "storage/diskspace.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <utility>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace durablefile {

namespace {

Recorder &recorder()
{
    static Recorder instance;
    return instance;
}

void note(const QString &step, const QString &path)
{
    if (recorder())
        recorder()(step, QFileInfo(path).absoluteFilePath());
}

// The system's words stay in the text, in brackets; the operator reads what they mean first.
bool fail(QString *why, const QString &text)
{
    const QString reason = diskspace::osReasonWords(text);
    if (why)
        *why = reason.isEmpty() ? text : reason + QStringLiteral("：") + text;
    return false;
}

QString native(const QString &path)
{
    return QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
}

#ifdef Q_OS_WIN
QString lastError()
{
    return qt_error_string(int(GetLastError()));
}

const wchar_t *wide(const QString &path)
{
    return reinterpret_cast<const wchar_t *>(path.utf16());
}

// ERROR_ACCESS_DENIED also answers a replace over a file held open; worth a retry as well.
bool mayBeHeld(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION || error == ERROR_ACCESS_DENIED;
}

// Whether another program holds the file open in a way that keeps it from being replaced.
bool heldOpen(const QString &path)
{
    const HANDLE handle = CreateFileW(wide(QDir::toNativeSeparators(path)), DELETE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        return false;
    }
    return GetLastError() == ERROR_SHARING_VIOLATION;
}

// Windows refuses to replace a file that another program holds open without letting it be deleted:
// Excel showing an exported file, an antivirus or a backup tool scanning the database. A scanner lets
// go within moments, so the replace is tried for a while before the operator is told who holds it.
bool moveReplacing(const QString &from, const QString &to, QString *why)
{
    constexpr int attempts = 20;
    DWORD error = ERROR_SUCCESS;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (attempt > 0)
            Sleep(100);
        if (MoveFileExW(wide(QDir::toNativeSeparators(from)), wide(QDir::toNativeSeparators(to)),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return true;
        error = GetLastError();
        if (!mayBeHeld(error))
            break;
    }
    const QString systemText = qt_error_string(int(error));
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION || heldOpen(to)) {
        if (why)
            *why =
                QStringLiteral("文件 %1 正被其他程序占用（例如 Excel、杀毒软件或备份软件），请关闭那个程序后再试（%2）")
                    .arg(native(to), systemText);
        return false;
    }
    return fail(why, QStringLiteral("无法把 %1 改名为 %2（%3）").arg(native(from), native(to), systemText));
}
#endif

} // namespace

bool flush(QFile &file, QString *why)
{
    if (!file.flush())
        return fail(why, QStringLiteral("%1 无法写入磁盘（%2）").arg(native(file.fileName()), file.errorString()));
#ifdef Q_OS_WIN
    // FlushFileBuffers writes the file's data and its size to the disk, past the drive's own cache.
    if (!FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(file.handle()))))
        return fail(why, QStringLiteral("%1 无法写入磁盘（%2）").arg(native(file.fileName()), lastError()));
#else
    if (::fsync(file.handle()) != 0)
        return fail(why, QStringLiteral("%1 无法写入磁盘（%2）").arg(native(file.fileName()), qt_error_string(errno)));
#endif
    note(QStringLiteral("flush file"), file.fileName());
    return true;
}

bool flush(const QString &path, QString *why)
{
    QFile file(path);
    // Write access: Windows flushes only through a handle that may write.
    if (!file.open(QIODevice::ReadWrite | QIODevice::ExistingOnly))
        return fail(why, QStringLiteral("%1 无法打开（%2）").arg(native(path), file.errorString()));
    return flush(file, why);
}

bool flushFolder(const QString &folder, QString *why)
{
#ifdef Q_OS_WIN
    // NTFS logs every change to a folder; FlushFileBuffers on the folder's own handle, opened for writing
    // with FILE_FLAG_BACKUP_SEMANTICS, commits that log. A file system that cannot flush a folder
    // (ERROR_INVALID_FUNCTION) has nothing more to offer.
    const HANDLE handle = CreateFileW(wide(QDir::toNativeSeparators(folder)), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return fail(why, QStringLiteral("文件夹 %1 无法打开（%2）").arg(native(folder), lastError()));
    const bool flushed = FlushFileBuffers(handle) || GetLastError() == ERROR_INVALID_FUNCTION;
    const QString error = flushed ? QString() : lastError();
    CloseHandle(handle);
    if (!flushed)
        return fail(why, QStringLiteral("文件夹 %1 无法写入磁盘（%2）").arg(native(folder), error));
#else
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return fail(why, QStringLiteral("文件夹 %1 无法打开（%2）").arg(native(folder), qt_error_string(errno)));
    // Some file systems (network ones among them) cannot flush a folder and say so with EINVAL; SQLite
    // goes on there as well.
    const bool flushed = ::fsync(fd) == 0 || errno == EINVAL;
    const int error = errno;
    ::close(fd);
    if (!flushed)
        return fail(why, QStringLiteral("文件夹 %1 无法写入磁盘（%2）").arg(native(folder), qt_error_string(error)));
#endif
    note(QStringLiteral("flush folder"), folder);
    return true;
}

bool rename(const QString &from, const QString &to, QString *why)
{
#ifdef Q_OS_WIN
    // One call replaces the file, and with MOVEFILE_WRITE_THROUGH returns only once that is on the disk.
    if (!moveReplacing(from, to, why))
        return false;
#else
    if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0)
        return fail(why,
                    QStringLiteral("无法把 %1 改名为 %2（%3）").arg(native(from), native(to), qt_error_string(errno)));
#endif
    note(QStringLiteral("rename"), to);
    const QString target = QFileInfo(to).absolutePath();
    const QString source = QFileInfo(from).absolutePath();
    return flushFolder(target, why) && (source == target || flushFolder(source, why));
}

bool commit(const QString &from, const QString &to, QString *why)
{
    return flush(from, why) && rename(from, to, why);
}

bool write(const QString &path, const QByteArray &bytes, QString *why)
{
    const QString temporary = path + QStringLiteral(".part");
    QFile file(temporary);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return fail(why, QStringLiteral("%1 无法写入（%2）").arg(native(temporary), file.errorString()));
    // A full disk first takes part of the bytes and says nothing; the next write names the fault.
    qint64 written = 0;
    while (written < bytes.size()) {
        const qint64 step = file.write(bytes.constData() + written, bytes.size() - written);
        if (step <= 0)
            break;
        written += step;
    }
    if (written != bytes.size()) {
        const QString error = file.errorString();
        file.close();
        QFile::remove(temporary);
        return fail(why, QStringLiteral("%1 无法写入（%2）").arg(native(temporary), error));
    }
    const bool flushed = flush(file, why);
    file.close();
    if (!flushed || !rename(temporary, path, why)) {
        QFile::remove(temporary);
        return false;
    }
    return true;
}

bool makeFolder(const QString &folder, QString *why)
{
    QStringList made;
    // A name with no parent of its own (":" of ":memory:", which Qt reads as its resources) ends the walk too.
    for (QFileInfo missing(QFileInfo(folder).absoluteFilePath()); !missing.exists() && !missing.isRoot();
         missing.setFile(missing.absolutePath())) {
        made.prepend(missing.absoluteFilePath());
        if (missing.absolutePath() == missing.absoluteFilePath())
            break;
    }
    if (!QDir().mkpath(folder) || !QFileInfo(folder).isDir())
        return fail(why, QStringLiteral("无法创建文件夹 %1").arg(native(folder)));
    for (const QString &each : std::as_const(made)) {
        if (!flushFolder(QFileInfo(each).absolutePath(), why))
            return false;
    }
    return true;
}

bool remove(const QString &path)
{
    if (!QFile::remove(path))
        return false;
    note(QStringLiteral("remove"), path);
    return true;
}

void setRecorder(const Recorder &recorder)
{
    durablefile::recorder() = recorder;
}

} // namespace durablefile
