// libFuzzer target: an arbitrary byte string pushed as a snapshot document and merged into a database,
// read as "/import" reads a push. Each input starts from the same small master so that findings
// reproduce on their own.

#include "storage/database.h"
#include "storage/snapshotreader.h"

#include <QCoreApplication>
#include <QSqlDatabase>
#include <QSqlQuery>

#include <cstdint>
#include <cstdlib>

namespace {

void resetMaster()
{
    QSqlQuery query(QSqlDatabase::database(QStringLiteral("plindor")));
    for (const char *table : {"items", "transactions", "categories", "locations", "customers", "relations"})
        query.exec(QStringLiteral("DELETE FROM %1").arg(QLatin1String(table)));
    Database &db = Database::instance();
    db.upsert(QStringLiteral("items"), {{"id", "i1"}, {"name", "螺丝"}, {"updatedAt", "2026-01-01 00:00:00"}}, nullptr);
    db.upsert(QStringLiteral("transactions"), {{"id", "t1"}, {"itemId", "i1"}}, nullptr);
    db.upsert(QStringLiteral("categories"), {{"id", "c1"}, {"name", "五金"}, {"createdAt", "2026-01-01 00:00:00"}},
              nullptr);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    QString error;
    if (!Database::instance().open(QStringLiteral(":memory:"), &error))
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const SnapshotReader document(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    if (!document.isObject())
        return 0;
    resetMaster();
    const MergeResult result = Database::instance().merge(document);
    // The answer a phone gets must always be complete, whatever it pushed.
    if (result.perTable.size() != 6 || result.details.isEmpty())
        std::abort();
    const QJsonObject counts = Database::instance().counts();
    if (counts.value(QStringLiteral("items")).toInt() < 1 || counts.value(QStringLiteral("transactions")).toInt() < 1)
        std::abort();
    return 0;
}
