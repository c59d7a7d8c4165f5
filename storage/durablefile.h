#pragma once

#include <QString>

#include <functional>

class QByteArray;
class QFile;

// Replacing a file so that a power cut leaves the old file or the new one, never neither: write, flush
// the file, rename, flush the folder, and only then the step that relies on it. A new name, a rename or
// a removal lasts only once its folder is flushed; file systems may keep them longer in memory than
// the data they point to.
// The settings file and the database's backups and restores are replaced alike, so this lives in a
// library of its own on Qt Core alone: the settings rules link it without linking the database.
namespace durablefile {

// Writes bytes beside path under a temporary name, then puts them in place of path as commit() does.
bool write(const QString &path, const QByteArray &bytes, QString *why);
// Flushes the finished file from to disk, renames it to to (replacing any file there) and flushes the
// folder: once this returns true, to holds the file whatever happens to the power.
bool commit(const QString &from, const QString &to, QString *why);
// The same for a file already flushed: rename and flush the folder.
bool rename(const QString &from, const QString &to, QString *why);
// Flushes a file's content to disk: an open file, or one written by someone else (SQLite).
bool flush(QFile &file, QString *why);
bool flush(const QString &path, QString *why);
// Makes the folder's new, renamed and removed entries last.
bool flushFolder(const QString &folder, QString *why);
// Creates the folder with its missing parents; a folder made here is flushed into its parent.
bool makeFolder(const QString &folder, QString *why);
// Removes a file. The removal lasts once its folder is flushed, which the caller does when the next
// step relies on it.
bool remove(const QString &path);

// Each step above, once done, is told to the recorder when one is set: "flush file", "rename" (with
// the new name), "flush folder" and "remove", with the path. Tests check the order through it.
using Recorder = std::function<void(const QString &step, const QString &path)>;
void setRecorder(const Recorder &recorder);

} // namespace durablefile
