#pragma once

#include <QByteArray>
#include <QChar>
#include <QList>
#include <QString>
#include <QStringList>

// Spreadsheet files as the operator brings them: RFC 4180 CSV in UTF-8 (with or without a byte order
// mark), GB18030 (which covers GBK and GB2312, as Chinese Excel and WPS save) or UTF-16 with a byte
// order mark (Excel's "Unicode 文本"), separated by commas, tabs or semicolons.
namespace csvtext {

// Larger files are refused before they are read.
constexpr qint64 maxFileBytes = 200LL * 1024 * 1024;

enum class Encoding {
    Utf8,
    Gb18030,
    Utf16LE,
    Utf16BE
};

// One record of the file, with the line on which it begins (the header is line 1).
struct Record
{
    int line = 0;
    QStringList fields;
};

struct Document
{
    Encoding encoding = Encoding::Utf8;
    // A UTF-8 file that began with a byte order mark; one written back for it does too.
    bool byteOrderMark = false;
    QChar separator = QLatin1Char(',');
    QStringList header;
    // The records after the header; blank lines and lines of empty fields are left out.
    QList<Record> records;
    // Why the file cannot be read, in the operator's words; empty when it was read.
    QString error;
};

// The file's bytes; false with the reason when it is missing, unreadable, or too large.
bool load(const QString &path, QByteArray *bytes, QString *error);

// Decides the encoding from the bytes and the separator from the header line, and splits the records.
Document parse(const QByteArray &bytes);

// Records written back in the document's encoding and separator, every field quoted, lines ended by CRLF.
QByteArray compose(const QList<QStringList> &records, const Document &like);

// How the preview names them.
QString encodingName(Encoding encoding);
QString separatorName(QChar separator);

} // namespace csvtext
