#include "storage/storagefault.h"

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

} // namespace storagefault
