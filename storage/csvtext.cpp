#include "storage/csvtext.h"

#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QStringEncoder>

#include <cstring>
#include <limits>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace csvtext {

namespace {

const QString binaryFile = QStringLiteral("这不是文本格式的 CSV 文件（可能是 Excel 工作簿或其他二进制文件）。"
                                          "请在表格软件里“另存为”CSV 后再导入。");

QString decodeWith(QStringDecoder &decoder, QByteArrayView bytes, bool *failed)
{
    QString text = decoder(bytes);
    *failed = decoder.hasError();
    return text;
}

// Qt reads GB18030 through ICU, which its builds for Windows leave out; Windows knows the code page itself.
// Where it lacks it (Wine, for one), GBK, the part of GB18030 that Chinese Excel writes, still reads them.
#ifdef Q_OS_WIN
UINT gb18030CodePage()
{
    static const UINT page = IsValidCodePage(54936) ? 54936 : IsValidCodePage(936) ? 936 : 0;
    return page;
}
#endif

// Empty with *supported false where the system cannot read GB18030 at all.
QString decodeGb18030(QByteArrayView bytes, bool *failed, bool *supported)
{
#ifdef Q_OS_WIN
    const UINT page = gb18030CodePage();
    *supported = page != 0;
    *failed = bytes.size() > std::numeric_limits<int>::max();
    if (!*supported || bytes.isEmpty() || *failed)
        return QString();
    const int length = MultiByteToWideChar(page, MB_ERR_INVALID_CHARS, bytes.data(), int(bytes.size()), nullptr, 0);
    *failed = length <= 0;
    if (*failed)
        return QString();
    QString text(length, Qt::Uninitialized);
    MultiByteToWideChar(page, MB_ERR_INVALID_CHARS, bytes.data(), int(bytes.size()),
                        reinterpret_cast<wchar_t *>(text.data()), length);
    return text;
#else
    QStringDecoder decoder("GB18030");
    *supported = decoder.isValid();
    *failed = false;
    return *supported ? decodeWith(decoder, bytes, failed) : QString();
#endif
}

QByteArray encodeGb18030(const QString &text)
{
#ifdef Q_OS_WIN
    const UINT page = gb18030CodePage();
    const auto *wide = reinterpret_cast<const wchar_t *>(text.utf16());
    const int length = page ? WideCharToMultiByte(page, 0, wide, int(text.size()), nullptr, 0, nullptr, nullptr) : 0;
    QByteArray bytes(qMax(length, 0), Qt::Uninitialized);
    if (length > 0)
        WideCharToMultiByte(page, 0, wide, int(text.size()), bytes.data(), length, nullptr, nullptr);
    return bytes;
#else
    return QStringEncoder("GB18030").encode(text);
#endif
}

bool looksBinary(QStringView text)
{
    // Text files hold no control characters but tabs and line ends; a few stray ones are tolerated.
    qsizetype controls = 0;
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u == 0)
            return true;
        if (u < 0x20 && u != u'\t' && u != u'\n' && u != u'\r')
            ++controls;
    }
    return controls > 8 && controls * 100 > text.size();
}

// The separator that occurs most often outside quotes on the header line; a comma when none does.
QChar detectSeparator(QStringView text)
{
    int commas = 0;
    int tabs = 0;
    int semicolons = 0;
    bool quoted = false;
    // Blank lines before the header are skipped as the records are.
    qsizetype start = 0;
    while (start < text.size() && (text[start] == QLatin1Char('\n') || text[start] == QLatin1Char('\r')))
        ++start;
    for (const QChar c : text.sliced(start)) {
        if (c == QLatin1Char('"'))
            quoted = !quoted;
        else if (quoted)
            continue;
        else if (c == QLatin1Char('\n') || c == QLatin1Char('\r'))
            break;
        else if (c == QLatin1Char(','))
            ++commas;
        else if (c == QLatin1Char('\t'))
            ++tabs;
        else if (c == QLatin1Char(';'))
            ++semicolons;
    }
    if (tabs > commas && tabs >= semicolons)
        return QLatin1Char('\t');
    if (semicolons > commas && semicolons > tabs)
        return QLatin1Char(';');
    return QLatin1Char(',');
}

bool isBlank(const QStringList &fields)
{
    for (const QString &field : fields) {
        if (!field.isEmpty())
            return false;
    }
    return true;
}

void split(QStringView text, QChar separator, Document *document)
{
    QList<Record> records;
    Record record;
    record.line = 1;
    QString field;
    bool inQuotes = false;
    bool wasQuoted = false;
    int line = 1;
    int quoteLine = 0;
    const qsizetype size = text.size();
    const auto endRecord = [&] {
        record.fields.append(field);
        field.clear();
        wasQuoted = false;
        if (!isBlank(record.fields))
            records.append(std::move(record));
        record = Record();
        record.line = line;
    };
    for (qsizetype i = 0; i < size; ++i) {
        const QChar c = text[i];
        if (inQuotes) {
            if (c == QLatin1Char('"')) {
                if (i + 1 < size && text[i + 1] == QLatin1Char('"')) {
                    field.append(c);
                    ++i;
                } else {
                    inQuotes = false;
                }
                continue;
            }
            if (c == QLatin1Char('\n')
                || (c == QLatin1Char('\r') && (i + 1 >= size || text[i + 1] != QLatin1Char('\n'))))
                ++line;
            field.append(c);
        } else if (c == QLatin1Char('"') && field.isEmpty() && !wasQuoted) {
            inQuotes = true;
            wasQuoted = true;
            quoteLine = line;
        } else if (c == separator) {
            record.fields.append(field);
            field.clear();
            wasQuoted = false;
        } else if (c == QLatin1Char('\r') || c == QLatin1Char('\n')) {
            if (c == QLatin1Char('\r') && i + 1 < size && text[i + 1] == QLatin1Char('\n'))
                ++i;
            ++line;
            endRecord();
        } else {
            field.append(c);
        }
    }
    if (inQuotes) {
        document->error = QStringLiteral("第 %1 行的引号没有闭合：从这里起到文件末尾都被当成了一个字段。"
                                         "请检查这一行的双引号。")
                              .arg(quoteLine);
        return;
    }
    if (!field.isEmpty() || wasQuoted || !record.fields.isEmpty())
        endRecord();

    if (records.isEmpty()) {
        document->error = QStringLiteral("文件是空的，没有表头也没有数据。");
        return;
    }
    document->header = records.takeFirst().fields;
    if (records.isEmpty()) {
        document->error = QStringLiteral("文件只有表头，没有数据行。");
        return;
    }
    document->records = std::move(records);
}

} // namespace

bool load(const QString &path, QByteArray *bytes, QString *error)
{
    const QFileInfo info(path);
    if (!info.exists()) {
        *error = QStringLiteral("找不到文件（可能已被移走或删除）：\n%1").arg(path);
        return false;
    }
    if (info.isDir()) {
        *error = QStringLiteral("这是一个文件夹，不是 CSV 文件：\n%1").arg(path);
        return false;
    }
    if (info.size() > maxFileBytes) {
        *error = QStringLiteral("文件太大（%1 MB），最多只能导入 %2 MB 的文件。请把它拆成几个文件分别导入。")
                     .arg(info.size() / (1024 * 1024))
                     .arg(maxFileBytes / (1024 * 1024));
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("没能打开文件：\n%1\n\n%2").arg(path, file.errorString());
        return false;
    }
    *bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        *error = QStringLiteral("没能读完文件：\n%1\n\n%2").arg(path, file.errorString());
        bytes->clear();
        return false;
    }
    return true;
}

Document parse(const QByteArray &bytes)
{
    Document document;
    QString text;
    bool failed = false;
    if (bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF")) {
        document.encoding = bytes.startsWith("\xFF\xFE") ? Encoding::Utf16LE : Encoding::Utf16BE;
        QStringDecoder decoder(document.encoding == Encoding::Utf16LE ? QStringConverter::Utf16LE
                                                                      : QStringConverter::Utf16BE);
        text = decodeWith(decoder, QByteArrayView(bytes).sliced(2), &failed);
    } else {
        document.byteOrderMark = bytes.startsWith("\xEF\xBB\xBF");
        const QByteArrayView body = QByteArrayView(bytes).sliced(document.byteOrderMark ? 3 : 0);
        if (!body.isEmpty() && std::memchr(body.data(), 0, size_t(body.size())) != nullptr) {
            document.error = binaryFile;
            return document;
        }
        QStringDecoder utf8(QStringConverter::Utf8);
        text = decodeWith(utf8, body, &failed);
        if (failed && !document.byteOrderMark) {
            // Not UTF-8: the file comes from a Chinese spreadsheet that saved it in its own code page.
            bool supported = false;
            text = decodeGb18030(body, &failed, &supported);
            if (!supported) {
                document.error =
                    QStringLiteral("这台电脑缺少 GB18030 编码支持，请把文件另存为 UTF-8 编码的 CSV 后再导入。");
                return document;
            }
            document.encoding = Encoding::Gb18030;
        }
    }
    if (failed || looksBinary(text)) {
        document.error = failed ? QStringLiteral("无法识别文件的编码：它既不是 UTF-8，也不是 GB18030/GBK，"
                                                 "也不是带字节顺序标记的 UTF-16。请在表格软件里另存为"
                                                 "“CSV UTF-8”后再导入。")
                                : binaryFile;
        return document;
    }
    document.separator = detectSeparator(text);
    split(text, document.separator, &document);
    return document;
}

QByteArray compose(const QList<QStringList> &records, const Document &like)
{
    QString text;
    for (const QStringList &record : records) {
        for (qsizetype i = 0; i < record.size(); ++i) {
            if (i > 0)
                text.append(like.separator);
            QString field = record.at(i);
            field.replace(QLatin1Char('"'), QStringLiteral("\"\""));
            text.append(QLatin1Char('"') + field + QLatin1Char('"'));
        }
        text.append(QStringLiteral("\r\n"));
    }
    switch (like.encoding) {
    case Encoding::Utf16LE:
        return QByteArray("\xFF\xFE") + QStringEncoder(QStringConverter::Utf16LE).encode(text);
    case Encoding::Utf16BE:
        return QByteArray("\xFE\xFF") + QStringEncoder(QStringConverter::Utf16BE).encode(text);
    case Encoding::Gb18030:
        return encodeGb18030(text);
    case Encoding::Utf8:
        break;
    }
    return (like.byteOrderMark ? QByteArray("\xEF\xBB\xBF") : QByteArray()) + text.toUtf8();
}

QString encodingName(Encoding encoding)
{
    switch (encoding) {
    case Encoding::Gb18030:
        return QStringLiteral("GB18030（GBK）");
    case Encoding::Utf16LE:
    case Encoding::Utf16BE:
        return QStringLiteral("UTF-16（Unicode 文本）");
    case Encoding::Utf8:
        break;
    }
    return QStringLiteral("UTF-8");
}

QString separatorName(QChar separator)
{
    if (separator == QLatin1Char('\t'))
        return QStringLiteral("制表符");
    if (separator == QLatin1Char(';'))
        return QStringLiteral("分号");
    return QStringLiteral("逗号");
}

} // namespace csvtext
