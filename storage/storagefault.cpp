#include "storage/storagefault.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlError>

namespace storagefault {

namespace {

QString reasonFor(int code)
{
    switch (code) {
    case ClosedConnection:
        return QStringLiteral("数据库未打开");
    case Perm:
        return QStringLiteral("没有权限访问数据库文件");
    case Busy:
    case Locked:
        return QStringLiteral("数据库正被其他程序占用，请稍后重试");
    case NoMem:
        return QStringLiteral("内存不足，无法完成数据库操作");
    case ReadOnly:
        return QStringLiteral("数据库文件只读，无法写入");
    case IoErr:
        return QStringLiteral("读写数据库文件时出错（磁盘 I/O 错误）");
    case Corrupt:
        return QStringLiteral("数据库文件已损坏");
    case Full:
        return QStringLiteral("磁盘空间已满，无法写入数据库");
    case CantOpen:
        return QStringLiteral("无法打开数据库文件");
    case NotADb:
        return QStringLiteral("数据库文件不是有效的数据库");
    default:
        return QString();
    }
}

} // namespace

int codeOf(const QSqlError &error)
{
    if (!error.isValid())
        return ClosedConnection;
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok);
    return ok ? code & 0xff : 0;
}

bool isEnvironment(int sqliteCode)
{
    return !reasonFor(sqliteCode < 0 ? sqliteCode : sqliteCode & 0xff).isEmpty();
}

bool isEnvironment(const QSqlError &error)
{
    return isEnvironment(codeOf(error));
}

QString describe(int sqliteCode, const QString &driverText)
{
    const QString reason = reasonFor(sqliteCode < 0 ? sqliteCode : sqliteCode & 0xff);
    if (reason.isEmpty())
        return driverText;
    if (driverText.isEmpty())
        return reason;
    return reason + QStringLiteral("（") + driverText + QStringLiteral("）");
}

QString describe(const QSqlError &error)
{
    return describe(codeOf(error), error.text());
}

bool isReadOnly(int code)
{
    return code == ReadOnly || code == CantOpen || code == Perm;
}

QString fileFault(int code, const QString &detail)
{
    switch (code) {
    case Corrupt:
        return QStringLiteral("数据库文件已损坏: ") + detail;
    case NotADb:
        return QStringLiteral("数据库文件无法识别，可能被截断或不是 SQLite 数据库: ") + detail;
    case IoErr:
        return QStringLiteral("读取数据库文件时出错: ") + detail;
    default:
        break;
    }
    if (isReadOnly(code))
        return QStringLiteral(
                   "数据库文件是只读的，无法保存任何修改（文件、所在文件夹或旁边的 -wal、-shm 文件不可写）: ")
               + detail;
    return QString();
}

QString fileAdvice(int code, const QString &path)
{
    const QFileInfo file(path);
    if (isReadOnly(code))
        return QStringLiteral("手机同步已暂停。请确认 %1 和它所在的文件夹可以写入（不在只读的 U 盘、光盘或网络位置，"
                              "文件没有只读属性），然后重新启动程序。")
            .arg(QDir::toNativeSeparators(file.absoluteFilePath()));
    return QStringLiteral("手机同步已暂停，也不做自动备份。请在“历史版本”页点“从备份恢复…”，选一份通过检查的备份恢复"
                          "（当前文件会先另存一份）；或者关闭程序，删除 %1 里的 %2-wal 和 %2-shm，"
                          "再把“备份”文件夹里最近的一份备份复制过来，改名为 %2。")
        .arg(QDir::toNativeSeparators(file.absolutePath()), file.fileName());
}

} // namespace storagefault
