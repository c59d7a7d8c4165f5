// libFuzzer target for the CSV reader: any bytes an operator may choose must read without a crash, give
// either an error or a header and records in line order, and records written back must read the same.
// Built and run by scripts/fuzz.sh.

#include "fuzzcheck.h"
#include "storage/csvtext.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const csvtext::Document document = csvtext::parse(bytes);
    if (!document.error.isEmpty()) {
        check(document.records.isEmpty());
        return 0;
    }
    check(!document.header.isEmpty() && !document.records.isEmpty());
    int line = 1;
    for (const csvtext::Record &record : document.records) {
        check(record.line > line);
        line = record.line;
    }

    // A header of one field tells no separator; UTF-8 alone reads back by the same rule that chose it.
    if (document.encoding != csvtext::Encoding::Utf8 || document.header.size() < 2)
        return 0;
    QList<QStringList> records{document.header};
    for (const csvtext::Record &record : document.records)
        records << record.fields;
    const csvtext::Document again = csvtext::parse(csvtext::compose(records, document));
    check(again.error.isEmpty() && again.separator == document.separator && again.header == document.header);
    check(again.records.size() == document.records.size());
    for (qsizetype i = 0; i < again.records.size(); ++i)
        check(again.records.at(i).fields == document.records.at(i).fields);
    return 0;
}
