#include "qr/qrcode.h"

#include <array>

namespace {

struct QrVersion
{
    int dataCodewords;
    int blocks;
    int ecPerBlock;
    int shortBlocks;
    int shortBlockCodewords;
    std::array<int, 4> alignment; // unused entries are 0
};

// Level M, versions 1 to 16.
constexpr std::array<QrVersion, 16> versionTable{{
    {16, 1, 10, 1, 26, {0, 0, 0, 0}},
    {28, 1, 16, 1, 44, {6, 18, 0, 0}},
    {44, 1, 26, 1, 70, {6, 22, 0, 0}},
    {64, 2, 18, 2, 50, {6, 26, 0, 0}},
    {86, 2, 24, 2, 67, {6, 30, 0, 0}},
    {108, 4, 16, 4, 43, {6, 34, 0, 0}},
    {124, 4, 18, 4, 49, {6, 22, 38, 0}},
    {154, 4, 22, 2, 60, {6, 24, 42, 0}},
    {182, 5, 22, 3, 58, {6, 26, 46, 0}},
    {216, 5, 26, 4, 69, {6, 28, 50, 0}},
    {254, 5, 30, 1, 80, {6, 30, 54, 0}},
    {290, 8, 22, 6, 58, {6, 32, 58, 0}},
    {334, 9, 22, 8, 59, {6, 34, 62, 0}},
    {365, 9, 24, 4, 64, {6, 26, 46, 66}},
    {415, 10, 24, 5, 65, {6, 26, 48, 70}},
    {453, 10, 28, 7, 73, {6, 26, 50, 74}},
}};

constexpr bool blockColumnsAgree()
{
    for (const QrVersion &v : versionTable) {
        const int total = v.dataCodewords + v.blocks * v.ecPerBlock;
        if (v.shortBlocks != v.blocks - total % v.blocks || v.shortBlockCodewords != total / v.blocks)
            return false;
    }
    return true;
}
static_assert(blockColumnsAgree(), "block split columns must follow from the codeword counts");

constexpr int maxVersion = 16;
constexpr int formatBits = 0x5412; // level M, mask 0, BCH-coded and masked

int characterCountBits(int version)
{
    return version <= 9 ? 8 : 16;
}

// The first version whose data capacity holds n bytes with the mode and count header, or 0.
int versionFor(qsizetype n)
{
    for (int version = 1; version <= maxVersion; ++version) {
        const int header = version <= 9 ? 2 : 3;
        if (n <= versionTable[version - 1].dataCodewords - header)
            return version;
    }
    return 0;
}

// GF(2^8) product modulo x^8 + x^4 + x^3 + x^2 + 1, by shift and conditional XOR.
int gfMultiply(int x, int y)
{
    int z = 0;
    for (int i = 7; i >= 0; --i) {
        z = (z << 1) ^ ((z >> 7) * 0x11D);
        z ^= ((y >> i) & 1) * x;
    }
    return z;
}

// Coefficients of the product of (x - 2^i) for i < degree, highest power first, leading 1 left out.
QList<int> generatorPolynomial(int degree)
{
    QList<int> result(degree, 0);
    result[degree - 1] = 1;
    int root = 1;
    for (int i = 0; i < degree; ++i) {
        for (int j = 0; j < degree; ++j) {
            result[j] = gfMultiply(result[j], root);
            if (j + 1 < degree)
                result[j] ^= result[j + 1];
        }
        root = gfMultiply(root, 2);
    }
    return result;
}

QList<int> errorCorrection(const QList<int> &data, const QList<int> &generator)
{
    QList<int> remainder(generator.size(), 0);
    for (int codeword : data) {
        const int factor = codeword ^ remainder.first();
        remainder.removeFirst();
        remainder.append(0);
        for (int i = 0; i < generator.size(); ++i)
            remainder[i] ^= gfMultiply(generator[i], factor);
    }
    return remainder;
}

void appendBits(QList<int> &bits, int value, int count)
{
    for (int i = count - 1; i >= 0; --i)
        bits.append((value >> i) & 1);
}

QList<int> dataCodewords(const QByteArray &bytes, int version)
{
    const int capacity = versionTable[version - 1].dataCodewords;
    QList<int> bits;
    bits.reserve(capacity * 8);
    appendBits(bits, 0b0100, 4);
    appendBits(bits, int(bytes.size()), characterCountBits(version));
    for (char byte : bytes)
        appendBits(bits, static_cast<unsigned char>(byte), 8);
    appendBits(bits, 0, qMin(4, capacity * 8 - int(bits.size())));
    appendBits(bits, 0, (8 - bits.size() % 8) % 8);

    QList<int> codewords;
    codewords.reserve(capacity);
    for (qsizetype i = 0; i < bits.size(); i += 8) {
        int value = 0;
        for (int j = 0; j < 8; ++j)
            value = (value << 1) | bits[i + j];
        codewords.append(value);
    }
    for (bool high = true; codewords.size() < capacity; high = !high)
        codewords.append(high ? 236 : 17);
    return codewords;
}

QList<int> interleavedCodewords(const QList<int> &data, int version)
{
    const QrVersion &info = versionTable[version - 1];
    const int e = info.ecPerBlock;
    const int r = info.shortBlockCodewords - e;
    const QList<int> generator = generatorPolynomial(e);

    QList<QList<int>> blocks;
    int offset = 0;
    for (int j = 0; j < info.blocks; ++j) {
        const bool isShort = j < info.shortBlocks;
        const QList<int> blockData = data.mid(offset, isShort ? r : r + 1);
        offset += int(blockData.size());
        QList<int> block = blockData;
        if (isShort)
            block.append(0);
        block.append(errorCorrection(blockData, generator));
        blocks.append(block);
    }

    QList<int> result;
    result.reserve(data.size() + info.blocks * e);
    for (int i = 0; i <= r + e; ++i) {
        for (int j = 0; j < info.blocks; ++j) {
            if (i == r && j < info.shortBlocks)
                continue;
            result.append(blocks[j][i]);
        }
    }
    return result;
}

// The module matrix together with the marks of the function modules that data placement skips.
class Matrix
{
public:
    explicit Matrix(int side)
        : size(side)
        , modules(side, QByteArray(side, 0))
        , function(side, QByteArray(side, 0))
    {
    }

    void setFunction(int row, int column, bool dark)
    {
        modules[row][column] = dark ? 1 : 0;
        function[row][column] = 1;
    }

    int size;
    QList<QByteArray> modules;
    QList<QByteArray> function;
};

void drawFinder(Matrix &m, int centreRow, int centreColumn)
{
    for (int dy = -4; dy <= 4; ++dy) {
        for (int dx = -4; dx <= 4; ++dx) {
            const int row = centreRow + dy;
            const int column = centreColumn + dx;
            if (row < 0 || row >= m.size || column < 0 || column >= m.size)
                continue;
            const int distance = qMax(qAbs(dx), qAbs(dy));
            m.setFunction(row, column, distance != 2 && distance != 4);
        }
    }
}

void drawAlignment(Matrix &m, int centreRow, int centreColumn)
{
    for (int dy = -2; dy <= 2; ++dy)
        for (int dx = -2; dx <= 2; ++dx)
            m.setFunction(centreRow + dy, centreColumn + dx, qMax(qAbs(dx), qAbs(dy)) != 1);
}

void drawFunctionPatterns(Matrix &m, int version)
{
    const int size = m.size;
    drawFinder(m, 3, 3);
    drawFinder(m, 3, size - 4);
    drawFinder(m, size - 4, 3);

    const std::array<int, 4> &centres = versionTable[version - 1].alignment;
    for (int row : centres) {
        for (int column : centres) {
            if (row == 0 || column == 0)
                continue;
            const bool meetsFinder =
                (row == 6 && column == 6) || (row == 6 && column == size - 7) || (row == size - 7 && column == 6);
            if (!meetsFinder)
                drawAlignment(m, row, column);
        }
    }

    for (int i = 8; i <= size - 9; ++i) {
        m.setFunction(6, i, i % 2 == 0);
        m.setFunction(i, 6, i % 2 == 0);
    }

    auto bit = [](int word, int i) { return ((word >> i) & 1) != 0; };
    for (int i = 0; i <= 5; ++i)
        m.setFunction(i, 8, bit(formatBits, i));
    m.setFunction(7, 8, bit(formatBits, 6));
    m.setFunction(8, 8, bit(formatBits, 7));
    m.setFunction(8, 7, bit(formatBits, 8));
    for (int i = 9; i <= 14; ++i)
        m.setFunction(8, 14 - i, bit(formatBits, i));
    for (int i = 0; i <= 7; ++i)
        m.setFunction(8, size - 1 - i, bit(formatBits, i));
    for (int i = 8; i <= 14; ++i)
        m.setFunction(size - 15 + i, 8, bit(formatBits, i));
    m.setFunction(size - 8, 8, true);

    if (version >= 7) {
        int remainder = version;
        for (int i = 0; i < 12; ++i)
            remainder = (remainder << 1) ^ (((remainder >> 11) & 1) * 0x1F25);
        const int word = (version << 12) | (remainder & 0xFFF);
        for (int i = 0; i < 18; ++i) {
            const int a = size - 11 + i % 3;
            const int b = i / 3;
            m.setFunction(b, a, bit(word, i));
            m.setFunction(a, b, bit(word, i));
        }
    }
}

// Zigzag placement in column pairs from the right, with mask 0 applied to every data module.
void placeData(Matrix &m, const QList<int> &codewords)
{
    const int size = m.size;
    const qsizetype bitCount = codewords.size() * 8;
    qsizetype next = 0;
    bool upwards = true;
    for (int right = size - 1; right >= 1; right -= 2) {
        if (right == 6)
            right = 5;
        for (int step = 0; step < size; ++step) {
            const int row = upwards ? size - 1 - step : step;
            for (int column = right; column >= right - 1; --column) {
                if (m.function[row][column])
                    continue;
                int bit = 0;
                if (next < bitCount) {
                    bit = (codewords[next / 8] >> (7 - next % 8)) & 1;
                    ++next;
                }
                if ((row + column) % 2 == 0)
                    bit ^= 1;
                m.modules[row][column] = char(bit);
            }
        }
        upwards = !upwards;
    }
}

} // namespace

bool encodeQrCode(const QString &text, int &size, QList<QByteArray> &modules)
{
    const QByteArray bytes = text.toUtf8();
    const int version = versionFor(bytes.size());
    if (version == 0)
        return false;

    const QList<int> codewords = interleavedCodewords(dataCodewords(bytes, version), version);
    Matrix matrix(4 * version + 17);
    drawFunctionPatterns(matrix, version);
    placeData(matrix, codewords);

    size = matrix.size;
    modules = matrix.modules;
    return true;
}

QImage renderQrImage(const QString &text, int target)
{
    int size = 0;
    QList<QByteArray> modules;
    if (!encodeQrCode(text, size, modules))
        return {};

    const int scale = qMax(2, target / (size + 8));
    const int side = (size + 8) * scale;
    QImage image(side, side, QImage::Format_RGB32);
    image.fill(Qt::white);
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            if (!modules[y][x])
                continue;
            for (int py = (y + 4) * scale; py < (y + 5) * scale; ++py) {
                auto *line = reinterpret_cast<QRgb *>(image.scanLine(py));
                for (int px = (x + 4) * scale; px < (x + 5) * scale; ++px)
                    line[px] = 0xFF000000;
            }
        }
    }
    return image;
}
