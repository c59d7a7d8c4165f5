#pragma once

#include "storage/recordsource.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>

// A document already parsed, as the fuzz target and the tests hand it over.
class DocumentSource : public RecordSource
{
public:
    explicit DocumentSource(const QJsonObject &document);

    qsizetype size(const QString &table) const override { return arrays.value(table).size(); }

    QJsonObject record(const QString &table, qsizetype index) const override
    {
        return arrays.value(table).at(index).toObject();
    }

private:
    QHash<QString, QJsonArray> arrays;
};
