#pragma once

#include <QLockFile>
#include <QString>

// Held for the program's life, so that a second copy started from the same folder does not work on the
// same database behind the first one's back.
class InstanceLock
{
public:
    explicit InstanceLock(const QString &path);

    // Takes the lock; false while another running program holds it. A lock left behind by a program
    // that no longer runs is taken over; in a folder that takes no new file, where it cannot be, the
    // program goes on without it.
    bool tryLock();
    // Why the lock is not ours: which process holds it, for which folder.
    QString holderText();
    // Takes the lock, or says in a critical box that the program already runs from this folder and
    // returns false.
    bool claim();

private:
    bool holderRunning() const;
    static bool takesNewFiles(const QString &folder);

    QString path;
    QLockFile lock;
};
