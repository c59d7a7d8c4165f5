#pragma once

#include <QByteArray>
#include <QSqlDatabase>
#include <QString>

// The snapshot document of the live rows as compact UTF-8 JSON, written straight from the rows: the
// answer to a phone's pull and the text of a version.
namespace snapshotwriter {

// Empty, with the reason in error, when a table could not be read whole.
QByteArray write(const QSqlDatabase &connection, const QString &exportedAt, QString *error);

} // namespace snapshotwriter
