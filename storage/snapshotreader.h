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
    // How far the text is checked: a text from outside is judged piece by piece; a text this program
    // wrote itself (a stored version, its own reading of the data) is only walked for where its elements lie.
    enum class Check {
        Pieces,
        Layout
    };

    // The reader keeps a reference to the text; the caller may drop its own.
    explicit SnapshotReader(const QByteArray &text, Check check = Check::Pieces);

    // Valid JSON with an object at the top. An invalid text has no Records.
    bool isObject() const { return valid; }
    // The top-level object has no key at all (or the text is invalid).
    bool isEmptyObject() const { return memberCount == 0; }

    qsizetype size(const QString &table) const override;
    QJsonObject record(const QString &table, qsizetype index) const override;
    // The element's own text, as it stands in the document.
    QByteArrayView element(const QString &table, qsizetype index) const;
    const QByteArray &document() const { return text; }

    // Walks the members of an object's text: from *at (0 at the start) gives the next key's raw text,
    // quotes included, and its value's. False at the end of the object or where its text is not JSON.
    static bool nextMember(QByteArrayView object, qsizetype *at, QByteArrayView *key, QByteArrayView *value);

private:
    bool scan();

    QByteArray text;
    Check check;
    bool valid = false;
    int memberCount = 0;
    // Where each non-empty object of a table array starts, for the catalogue's table keys whose last value
    // is an array. Only the start is kept, so that even a body of tiny elements costs at most about its
    // own size here; other elements can carry no id and are left out.
    QHash<QString, QList<qsizetype>> arrays;
};
