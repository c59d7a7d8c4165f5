#include "storage/documentsource.h"

#include "catalogue/catalogue.h"

DocumentSource::DocumentSource(const QJsonObject &document)
{
    for (const TableInfo &table : tables())
        arrays.insert(table.key, document.value(table.key).toArray());
}
