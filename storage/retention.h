#pragma once

#include <QString>

// What keeping fewer versions and daily backups removes: asked before, told after.
struct Retention
{
    int versions = 0;
    // Versions free pages inside the database file, an estimate; backups free the disk.
    qint64 versionBytes = 0;
    int backups = 0;
    qint64 backupBytes = 0;
    // Why the pruning stopped; empty when it was done.
    QString error;

    bool removesNothing() const { return versions == 0 && backups == 0; }
};
