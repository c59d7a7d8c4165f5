#pragma once

#include "storage/recordsource.h"

#include <QByteArray>
#include <QHash>
#include <QList>

// Reads a snapshot document from its UTF-8 text without parsing it as a whole: one scan checks the text
// and notes where each element of the table arrays lies, and each Record is parsed only when asked for.
// QJsonDocument judges every piece, so a text is accepted exactly when QJsonDocument::fromJson reads it
// as an object, and the Records are those it would give, less the elements that cannot carry an id.
class SnapshotReader : public RecordSource
{
public:
    // The reader keeps a reference to the text; the caller may drop its own.
    explicit SnapshotReader(const QByteArray &text);

    // Valid JSON with an object at the top. An invalid text has no Records.
    bool isObject() const { return valid; }
    // The top-level object has no key at all (or the text is invalid).
    bool isEmptyObject() const { return memberCount == 0; }

    qsizetype size(const QString &table) const override;
    QJsonObject record(const QString &table, qsizetype index) const override;

private:
    bool scan();

    QByteArray text;
    bool valid = false;
    int memberCount = 0;
    // Where each non-empty object of a table array starts, for the catalogue's table keys whose last value
    // is an array. Only the start is kept, so that even a body of tiny elements costs at most about its
    // own size here; other elements can carry no id and are left out.
    QHash<QString, QList<qsizetype>> arrays;
};
