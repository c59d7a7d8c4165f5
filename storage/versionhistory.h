#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QSqlDatabase>
#include <QString>

class RecordSource;

// One entry of the version history, without its snapshot.
struct VersionInfo
{
    int id = 0;
    QString createdAt;
    QString reason;
    QString source;
    QJsonObject counts;
};

// What the versions hold, from the sizes noted as they were stored.
struct VersionSizes
{
    int versions = 0;
    // Those with their size noted, and the bytes of their snapshots.
    int noted = 0;
    qint64 notedBytes = 0;

    // The bytes of all of them, a version not noted yet taken as the average of those that are, or else
    // as unnotedEach.
    qint64 bytes(qint64 unnotedEach) const
    {
        return notedBytes + (noted > 0 ? notedBytes / noted : unnotedEach) * (versions - noted);
    }
};

// The versions table: whole snapshots of the data, the newest ones kept, and the writing back of one of
// them. The caller holds the transaction around a rollback.
class VersionHistory
{
public:
    explicit VersionHistory(const QSqlDatabase &connection)
        : connection(connection)
    {
    }

    // Stores a version with these live-row counts and snapshot text, then drops all but the newest kept.
    bool add(const QString &createdAt, const QString &reason, const QString &source, const QJsonObject &counts,
             const QByteArray &snapshot, int kept, QString *error);
    // Drops all but the newest kept versions; how many went, or -1 with the reason in error.
    int prune(int kept, QString *error);
    int count();
    // Of the oldest versions, all of them when oldest is negative. Reads the versions' own pages and the
    // noted sizes only, never the snapshots that overflow them.
    VersionSizes sizes(int oldest = -1);
    // Notes the size of up to batch versions stored without one (by an older program, or in a restored
    // copy), oldest first: each is read once. How many were noted, 0 when none is left, -1 at a fault.
    int noteMissingSizes(int batch);
    QList<VersionInfo> list(int limit);
    // The version stored next after this one, or 0 when it is the newest.
    int nextAfter(int versionId);
    // The reason of the version stored just before the change a sync-log row tells of, or an empty text
    // for a row whose change stores none that can be found again.
    static QString reasonBefore(const QString &peer, const QString &direction);
    // The newest version with this reason stored at or before the time, or 0.
    int newestBefore(const QString &reason, const QString &at);
    // The snapshot text of a version. False for a version that is not there, with the reason in error when
    // the database failed.
    bool snapshot(int versionId, QByteArray *text, QString *error);
    // Writes every Record of the document back into its table, skipping rows a constraint refuses; false,
    // with the reason in fault, at a fault of the database.
    bool writeBack(const RecordSource &document, QString *fault);

private:
    QSqlDatabase connection;
};
