#include "storage/backupfiles.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>

namespace backupfiles {

namespace {

const QString setAsidePrefix = QStringLiteral("plindor-恢复前-");

} // namespace

QString folderBeside(const QString &databaseFile)
{
    return QFileInfo(databaseFile).absoluteDir().filePath(QStringLiteral("备份"));
}

QString dailyName(const QDate &day)
{
    return QStringLiteral("plindor-%1.db").arg(day.toString(QStringLiteral("yyyyMMdd")));
}

QDate dailyDay(const QString &fileName)
{
    static const QRegularExpression daily(QStringLiteral("^plindor-(\\d{8})\\.db$"));
    const auto match = daily.match(fileName);
    return match.hasMatch() ? QDate::fromString(match.captured(1), QStringLiteral("yyyyMMdd")) : QDate();
}

QString setAsideName(const QDateTime &moment)
{
    return setAsidePrefix + moment.toString(QStringLiteral("yyyyMMdd-HHmmss")) + QStringLiteral(".db");
}

bool isSetAside(const QString &fileName)
{
    return fileName.startsWith(setAsidePrefix);
}

QString pattern()
{
    return QStringLiteral("plindor-*.db");
}

QList<BackupInfo> list(const QString &folder)
{
    static const QRegularExpression setAside(QStringLiteral("^") + setAsidePrefix
                                             + QStringLiteral("(\\d{8}-\\d{6})\\.db$"));
    QList<BackupInfo> result;
    const QFileInfoList files = QDir(folder).entryInfoList({pattern()}, QDir::Files);
    for (const QFileInfo &file : files) {
        BackupInfo info;
        info.path = file.absoluteFilePath();
        info.fileName = file.fileName();
        info.size = file.size();
        if (const QDate day = dailyDay(info.fileName); day.isValid()) {
            info.madeAt = QDateTime(day, QTime(0, 0));
        } else if (const auto match = setAside.match(info.fileName); match.hasMatch()) {
            info.madeAt = QDateTime::fromString(match.captured(1), QStringLiteral("yyyyMMdd-HHmmss"));
            info.setAside = true;
        }
        if (info.madeAt.isValid())
            result << info;
    }
    std::sort(result.begin(), result.end(), [](const BackupInfo &a, const BackupInfo &b) {
        return a.madeAt != b.madeAt ? a.madeAt > b.madeAt : a.fileName > b.fileName;
    });
    return result;
}

} // namespace backupfiles
