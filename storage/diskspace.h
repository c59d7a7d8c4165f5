#pragma once

#include <QString>

// How much room the disk under the data folder has, and whether a write of a known size still leaves
// the safety margin: every write that grows the disk by a known amount asks here first and is refused
// before anything is written. The sizing and wording functions are pure.
namespace diskspace {

struct Space
{
    // Bytes free for this program and the size of the whole disk; -1 when the system does not say.
    qint64 available = -1;
    qint64 total = -1;
};

// The disk that holds path, or its nearest existing folder.
Space of(const QString &path);

// What must stay free after a write: 1 GB, or 5% of a disk smaller than 20 GB, so that a small disk is
// not refused from its first day and the system and other programs keep room to work.
qint64 margin(qint64 total);
// Tests set a margin of their own to make a normal disk full (negative returns to the rule). The
// environment variable TOVANIK_DISK_MARGIN, in bytes, does the same for a whole run.
void setMargin(qint64 bytes);

// "1.2 GB", "35.0 MB", "512 B".
QString formatSize(qint64 bytes);

// Empty when writing need bytes leaves at least the margin free (or the system does not say how much
// is free); otherwise "磁盘空间不足：需要约 X，剩余 Y", X being what must be free for the write.
QString shortage(qint64 need, const Space &space);
// shortage() on the disk that holds path now.
QString check(const QString &path, qint64 need);
// Whether a failure's text is such a refusal.
bool isShortage(const QString &text);

// The free space below which the operator is warned: room for this many more versions and one backup
// above the margin.
inline constexpr int warningVersions = 20;
qint64 warningLevel(qint64 versionBytes, qint64 backupBytes, qint64 total);
// How many more versions of this size fit above the margin.
qint64 versionsThatFit(qint64 versionBytes, const Space &space);

// The system's reason for a failed file operation in the operator's words, with the system's own words
// kept in brackets for support; the text as it is when it is none of the known ones.
QString osReason(const QString &systemText);
// Only the operator's words for a text that names one of those reasons anywhere in it; empty otherwise.
QString osReasonWords(const QString &text);

} // namespace diskspace
