#include "storage/database.h"

QJsonObject Database::snapshotDocument() { return {}; }
bool Database::saveVersion(const QString &, const QString &) { return false; }
QList<VersionInfo> Database::listVersions(int) { return {}; }
bool Database::rollbackTo(int, const QString &) { return false; }
MergeResult Database::merge(const QJsonObject &) { return {}; }
int Database::mergeNewer(const QJsonObject &, const QString &, const QString &) { return 0; }
int Database::mergeMissing(const QJsonObject &, const QString &) { return 0; }
void Database::logSync(const QString &, const QString &, const QString &) {}
QJsonArray Database::recentSyncLog(int) { return {}; }
int Database::clearSyncLog() { return 0; }
QString Database::dailyBackup() { return {}; }
QList<IdName> Database::queryIdName(const QString &) { return {}; }
QString Database::pathOf(const QString &, const QString &) { return {}; }
QString Database::displayValue(const QString &, const QString &) { return {}; }
QString Database::lookupText(const QString &, const QString &) { return {}; }
