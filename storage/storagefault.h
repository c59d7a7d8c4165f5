#pragma once

#include <QString>

class QSqlError;

// Tells a fault of the database as a whole (a full disk, a read-only file, a lock that another program
// keeps past the busy timeout, an I/O error, a damaged file, no memory) from a refusal of the one row
// a statement wrote. A row refusal skips that row; a fault stops the whole change.
namespace storagefault {

// SQLite's primary result codes that name such a fault; extended codes carry them in their low byte.
enum Code : int {
    ClosedConnection = -1, // a statement on a closed connection fails without setting any error
    Perm = 3,
    Busy = 5,
    Locked = 6,
    NoMem = 7,
    ReadOnly = 8,
    IoErr = 10,
    Corrupt = 11,
    Full = 13,
    CantOpen = 14,
    NotADb = 26,
};

// The primary result code of a failure.
int codeOf(const QSqlError &error);

bool isEnvironment(int sqliteCode);
bool isEnvironment(const QSqlError &error);

// What the operator and the phone are told: a Chinese reason, with the driver's words after it, for a
// fault of the database; the driver's own text for anything else.
QString describe(int sqliteCode, const QString &driverText);
QString describe(const QSqlError &error);

// A fault that leaves the file readable but takes no writes: a read-only file or folder, or no permission.
bool isReadOnly(int sqliteCode);
// The operator's words for a fault of the database file itself, or an empty text for any other failure.
QString fileFault(int sqliteCode, const QString &detail);
// What the operator can do about such a fault of the file at path, shown under the reason.
QString fileAdvice(int sqliteCode, const QString &path);

// Hands a failure's text to a caller that asked for it.
inline void report(QString *error, const QString &text)
{
    if (error)
        *error = text;
}

} // namespace storagefault
