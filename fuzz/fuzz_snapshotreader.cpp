// libFuzzer target for SnapshotReader: for any bytes, it must accept exactly what QJsonDocument reads as
// an object and hand out the same Records (all but those that cannot carry an id), since a push is
// judged and merged through it alone.

#include "catalogue/catalogue.h"
#include "fuzzcheck.h"
#include "storage/snapshotreader.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray text(reinterpret_cast<const char *>(data), qsizetype(size));
    QJsonParseError error;
    const QJsonDocument parsed = QJsonDocument::fromJson(text, &error);
    const bool accepted = error.error == QJsonParseError::NoError && parsed.isObject();

    const SnapshotReader reader(text);
    check(reader.isObject() == accepted);
    check(reader.isEmptyObject() == parsed.object().isEmpty());
    // Elements that cannot carry an id are left out by the reader.
    for (const TableInfo &table : tables()) {
        QList<QJsonObject> records;
        for (const QJsonValue &element : parsed.object().value(table.key).toArray()) {
            if (!element.toObject().isEmpty())
                records << element.toObject();
        }
        check(reader.size(table.key) == records.size());
        for (qsizetype i = 0; i < records.size(); ++i)
            check(reader.record(table.key, i) == records.at(i));
    }
    return 0;
}
