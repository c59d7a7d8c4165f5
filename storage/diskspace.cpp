#include "storage/diskspace.h"

#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>
#include <QtGlobal>

#include <atomic>

namespace diskspace {

namespace {

constexpr qint64 gigabyte = qint64(1024) * 1024 * 1024;

std::atomic<qint64> marginOverride{-1};

qint64 environmentMargin()
{
    bool isNumber = false;
    const qint64 bytes = qEnvironmentVariable("TOVANIK_DISK_MARGIN").toLongLong(&isNumber);
    return isNumber && bytes >= 0 ? bytes : -1;
}

} // namespace

Space of(const QString &path)
{
    QFileInfo info(path);
    // The database's folder exists before the database does; a backup folder may not yet.
    while (!info.exists() && !info.absolutePath().isEmpty() && info.absoluteFilePath() != info.absolutePath())
        info = QFileInfo(info.absolutePath());
    const QStorageInfo storage(info.isDir() ? info.absoluteFilePath() : info.absolutePath());
    if (!storage.isValid() || !storage.isReady())
        return {};
    return {storage.bytesAvailable(), storage.bytesTotal()};
}

qint64 margin(qint64 total)
{
    if (const qint64 fixed = marginOverride.load(); fixed >= 0)
        return fixed;
    static const qint64 fromEnvironment = environmentMargin();
    if (fromEnvironment >= 0)
        return fromEnvironment;
    return total > 0 ? qMin(gigabyte, total / 20) : gigabyte;
}

void setMargin(qint64 bytes)
{
    marginOverride.store(bytes < 0 ? -1 : bytes);
}

QString formatSize(qint64 bytes)
{
    static const char *const units[] = {"KB", "MB", "GB", "TB"};
    if (bytes < 1024)
        return QStringLiteral("%1 B").arg(qMax<qint64>(bytes, 0));
    double value = double(bytes) / 1024.0;
    int unit = 0;
    while (value >= 1024.0 && unit < 3) {
        value /= 1024.0;
        ++unit;
    }
    return QStringLiteral("%1 %2").arg(value, 0, 'f', 1).arg(QLatin1String(units[unit]));
}

QString shortage(qint64 need, const Space &space)
{
    if (space.available < 0)
        return QString();
    const qint64 required = qMax<qint64>(need, 0) + margin(space.total);
    if (space.available >= required)
        return QString();
    return QStringLiteral("磁盘空间不足：需要约 %1，剩余 %2").arg(formatSize(required), formatSize(space.available));
}

QString check(const QString &path, qint64 need)
{
    return shortage(need, of(path));
}

bool isShortage(const QString &text)
{
    return text.startsWith(QStringLiteral("磁盘空间不足："));
}

qint64 warningLevel(qint64 versionBytes, qint64 backupBytes, qint64 total)
{
    return margin(total) + warningVersions * qMax<qint64>(versionBytes, 0) + qMax<qint64>(backupBytes, 0);
}

qint64 versionsThatFit(qint64 versionBytes, const Space &space)
{
    const qint64 room = space.available - margin(space.total);
    if (room <= 0)
        return 0;
    return versionBytes > 0 ? room / versionBytes : room;
}

QString osReasonWords(const QString &text)
{
    struct Known
    {
        const char *words;
        const char *reason;
    };
    static const Known known[] = {
        {"No space left on device", "磁盘空间已满"},
        {"There is not enough space on the disk", "磁盘空间已满"},
        {"Disk quota exceeded", "磁盘配额已用完"},
        {"Read-only file system", "磁盘是只读的，无法写入"},
        {"Permission denied", "没有权限写入这个位置"},
        {"Access is denied", "没有权限写入这个位置"},
        {"being used by another process", "文件正被其他程序占用"},
        {"locked a portion of the file", "文件正被其他程序占用"},
    };
    for (const Known &each : known) {
        if (text.contains(QLatin1String(each.words), Qt::CaseInsensitive))
            return QString::fromUtf8(each.reason);
    }
    return QString();
}

QString osReason(const QString &systemText)
{
    const QString words = osReasonWords(systemText);
    return words.isEmpty() ? systemText : words + QStringLiteral("（") + systemText + QStringLiteral("）");
}

} // namespace diskspace
