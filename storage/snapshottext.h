#pragma once

#include <QByteArray>
#include <QJsonValue>
#include <QLatin1StringView>
#include <QStringView>

// Pieces of compact JSON text appended straight to a UTF-8 buffer, so that a whole snapshot can be
// written from the rows without building it as QJsonObjects first. Each piece parses back to the value
// that QJsonDocument would have written.
namespace snapshottext {

// A JSON string: quotes, backslashes and control characters escaped, everything else as UTF-8.
void appendString(QByteArray &out, QStringView text);
// The same for text known to be plain ASCII, straight from its bytes.
void appendString(QByteArray &out, QLatin1StringView ascii);

// An integral value that fits 64 bits is written as an integer, as QJsonValue stores it; any other
// finite value in its shortest form that reads back to the same double; infinity as null.
void appendNumber(QByteArray &out, double value);

void appendInteger(QByteArray &out, qint64 value);

// A value as the program shows it for editing and exports it: a string as it is, a number as appendNumber
// writes it, so that it reads back unchanged; the empty text for anything else.
QString valueText(const QJsonValue &value);

} // namespace snapshottext
