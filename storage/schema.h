#pragma once

#include <QList>
#include <QString>

// Every table of the database file and the statement that creates it where it is missing: the six data
// tables of the catalogue, each with the columns storage keeps for itself, then the versions and the
// sync log.
namespace schema {

struct Table
{
    QString name;
    QString createStatement;
};

const QList<Table> &tables();

} // namespace schema
