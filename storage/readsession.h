#pragma once

#include <QSqlDatabase>
#include <QString>

// A read-only connection to the database file for the thread that makes it, for as long as it lives,
// inside one read transaction: everything read through it is one state of the database, whatever is
// committed meanwhile, and no writer waits for it. While one lives, the Database's readings on its
// thread go through it. A restore holds new sessions off and waits for the running ones to end.
class ReadSession
{
public:
    explicit ReadSession(const QString &file);
    ~ReadSession();
    Q_DISABLE_COPY(ReadSession)

    bool isOpen() const { return open; }
    // Why the session could not open; empty while it is open.
    QString error() const { return problem; }
    QSqlDatabase database() const;
    // A number no other connection of this process has had, for telling its readings apart.
    quint64 serial() const { return number; }

    // The session of the calling thread, or null.
    static ReadSession *current();

    // A number for a connection of the caller's own, from the same count.
    static quint64 newSerial();
    static bool isHeld();
    // No session opens from now until release(); the calling thread's reader of the Database is not
    // opened again either.
    static void hold();
    // False when the sessions running did not end within the time given.
    static bool waitForRunning(int waitMs);
    static void release();

private:
    const quint64 number;
    const QString name;
    bool open = false;
    bool counted = false;
    QString problem;
    ReadSession *outer = nullptr;
};
