#include "importing/csvsource.h"

namespace fiscal::importing {

namespace {

constexpr qint64 kBlock = 64 * 1024;
// Lines looked at to tell the separator: as many as may come before the titles.
constexpr int kSeparatorLines = 20;

// 0x80..0x9F of Windows-1252 (the rest is Latin-1); 0 where the code page has no character.
constexpr char16_t kHigh[32] = {
    0x20AC, 0, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0, 0x017D, 0,
    0, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0, 0x017E, 0x0178};

// Validates UTF-8 across blocks: `pending` is how many continuation bytes are still due.
bool validUtf8(QByteArrayView bytes, int &pending)
{
    for (const char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        if (pending > 0) {
            if ((b & 0xC0) != 0x80)
                return false;
            --pending;
        } else if (b < 0x80) {
            continue;
        } else if (b >= 0xC2 && b <= 0xDF) {
            pending = 1;
        } else if (b >= 0xE0 && b <= 0xEF) {
            pending = 2;
        } else if (b >= 0xF0 && b <= 0xF4) {
            pending = 3;
        } else {
            return false;
        }
    }
    return true;
}

// Text files hold no NUL and few control characters besides tab, line feed, carriage return
// and form feed; the first block tells.
bool looksBinary(QByteArrayView block)
{
    qsizetype controls = 0;
    for (const char ch : block) {
        const auto b = static_cast<unsigned char>(ch);
        if (b == 0)
            return true;
        if (b < 0x20 && b != '\t' && b != '\n' && b != '\r' && b != '\f')
            ++controls;
    }
    return controls * 100 > block.size();   // more than 1%
}

} // namespace

QString fromWindows1252(QByteArrayView bytes)
{
    QString s;
    s.reserve(bytes.size());
    for (const char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        if (b >= 0x80 && b < 0xA0)
            s.append(QChar(kHigh[b - 0x80] ? kHigh[b - 0x80] : char16_t(0xFFFD)));
        else
            s.append(QChar(char16_t(b)));
    }
    return s;
}

CsvSource::CsvSource(const QString &path, const Limits &limits) : m_file(path), m_limits(limits)
{
    if (!m_file.open(QIODevice::ReadOnly))
        throw ReadError(QStringLiteral("Não foi possível abrir o arquivo %1: %2.").arg(path, m_file.errorString()));
    detect();
    selectSheet(0);
}

// A read that brings nothing before the file's end is a failing disk or a share gone away:
// taken for the end, it would loop for ever here or show part of the file as the whole.
void CsvSource::failIfUnreadable(const QByteArray &read)
{
    if (read.isEmpty() && (m_file.error() != QFileDevice::NoError || !m_file.atEnd()))
        throw ReadError(QStringLiteral("Não foi possível ler o arquivo %1: %2.")
                            .arg(m_file.fileName(), m_file.errorString()));
}

void CsvSource::detect()
{
    const QByteArray first = m_file.read(kBlock);
    failIfUnreadable(first);
    QString head;
    if (first.startsWith("\xFF\xFE") || first.startsWith("\xFE\xFF")) {
        // UTF-16 holds NUL bytes in every ASCII character: its mark tells it from binary.
        m_encoding = first.startsWith("\xFF\xFE") ? Encoding::Utf16LE : Encoding::Utf16BE;
        m_bom = 2;
        head = QStringDecoder(m_encoding == Encoding::Utf16LE ? QStringDecoder::Utf16LE : QStringDecoder::Utf16BE)
                   .decode(first.mid(2));
    } else {
        m_bom = first.startsWith("\xEF\xBB\xBF") ? 3 : 0;
        if (looksBinary(first))
            throw ReadError(QStringLiteral("O arquivo não é uma planilha: o conteúdo é binário, não texto CSV."));
        int pending = 0;
        bool valid = validUtf8(first, pending);
        while (valid && !m_file.atEnd()) {
            const QByteArray more = m_file.read(1024 * 1024);
            failIfUnreadable(more);
            valid = validUtf8(more, pending);
        }
        m_encoding = m_bom || (valid && pending == 0) ? Encoding::Utf8 : Encoding::Windows1252;
        head = m_encoding == Encoding::Utf8 ? QString::fromUtf8(first) : fromWindows1252(first);
    }

    // The separator found outside quotes on most of the first lines with something in them
    // (a heading such as "Clientes ativos, março de 2024" may come before the titles), then
    // the one used most often.
    const QChar candidates[3] = {QLatin1Char(';'), QLatin1Char('\t'), QLatin1Char(',')};
    int lines[3] = {0, 0, 0};
    int counts[3] = {0, 0, 0};
    int inLine[3] = {0, 0, 0};
    int linesSeen = 0;
    bool quoted = false, seen = false;
    const auto endLine = [&] {
        if (seen) {
            ++linesSeen;
            for (int i = 0; i < 3; ++i) {
                lines[i] += inLine[i] > 0;
                counts[i] += inLine[i];
            }
        }
        inLine[0] = inLine[1] = inLine[2] = 0;
        seen = false;
    };
    for (const QChar c : head) {
        if (c == QLatin1Char('"')) {
            quoted = !quoted;
            seen = true;
        } else if (!quoted && (c == QLatin1Char('\n') || c == QLatin1Char('\r'))) {
            endLine();
            if (linesSeen == kSeparatorLines)
                break;
        } else if (!quoted) {
            seen = seen || !c.isSpace();
            for (int i = 0; i < 3; ++i)
                inLine[i] += c == candidates[i];
        }
    }
    endLine();
    int best = 0;
    for (int i = 1; i < 3; ++i) {
        if (lines[i] > lines[best] || (lines[i] == lines[best] && counts[i] > counts[best]))
            best = i;
    }
    m_separator = candidates[best];
}

QString CsvSource::details() const
{
    const QString sep = m_separator == QLatin1Char('\t') ? QStringLiteral("tabulação") : QString(m_separator);
    const QString encoding = m_encoding == Encoding::Utf8          ? QStringLiteral("UTF-8")
                             : m_encoding == Encoding::Windows1252 ? QStringLiteral("Windows-1252")
                                                                   : QStringLiteral("UTF-16");
    return QStringLiteral("%1, separador %2").arg(encoding, sep);
}

void CsvSource::selectSheet(int index)
{
    if (index != 0)
        throw ReadError(QStringLiteral("Um arquivo CSV tem uma só folha."));
    m_file.seek(m_bom);
    m_decoder = QStringDecoder(m_encoding == Encoding::Utf16LE   ? QStringDecoder::Utf16LE
                               : m_encoding == Encoding::Utf16BE ? QStringDecoder::Utf16BE
                                                                 : QStringDecoder::Utf8);
    m_text.clear();
    m_pos = 0;
    m_line = 1;
    m_rows = 0;
}

bool CsvSource::fill()
{
    m_text.remove(0, m_pos);
    m_pos = 0;
    const QByteArray block = m_file.read(kBlock);
    failIfUnreadable(block);
    if (block.isEmpty())
        return false;
    m_text += m_encoding == Encoding::Windows1252 ? fromWindows1252(block) : QString(m_decoder.decode(block));
    return true;
}

std::optional<QChar> CsvSource::peek()
{
    while (m_pos >= m_text.size()) {
        if (!fill())
            return std::nullopt;
    }
    return m_text.at(m_pos);
}

QChar CsvSource::take()
{
    const std::optional<QChar> c = peek();
    ++m_pos;
    return *c;
}

bool CsvSource::next(SheetRow &row)
{
    for (;;) {
        if (!peek())
            return false;
        row.line = m_line;
        row.cells.clear();
        QString cell;
        int column = 0;
        bool quoted = false, wasQuoted = false, endOfRecord = false;
        while (!endOfRecord) {
            const std::optional<QChar> c = peek();
            if (!c)
                break;
            take();
            if (quoted) {
                if (*c == QLatin1Char('"')) {
                    if (peek() == QLatin1Char('"')) {
                        take();
                        cell.append(QLatin1Char('"'));
                    } else {
                        quoted = false;
                    }
                } else {
                    if (*c == QLatin1Char('\n'))
                        ++m_line;
                    if (cell.size() <= m_limits.maxCellChars)
                        cell.append(*c);
                }
            } else if (*c == QLatin1Char('"') && !wasQuoted && cell.trimmed().isEmpty()) {
                quoted = wasQuoted = true;
                cell.clear();
            } else if (*c == m_separator) {
                detail::putCell(row.cells, column++, wasQuoted ? cell : cell.trimmed(), m_limits);
                cell.clear();
                wasQuoted = false;
            } else if (*c == QLatin1Char('\r') || *c == QLatin1Char('\n')) {
                if (*c == QLatin1Char('\r') && peek() == QLatin1Char('\n'))
                    take();
                ++m_line;
                endOfRecord = true;
            } else if (cell.size() <= m_limits.maxCellChars) {
                cell.append(*c);
            }
        }
        // Read as a cell, the rest of the file would vanish without a word and the line's
        // group would come out empty, which clears it.
        if (quoted)
            throw ReadError(QStringLiteral("A linha %1 abre aspas que não se fecham até o fim do arquivo.").arg(row.line));
        detail::putCell(row.cells, column, wasQuoted ? cell : cell.trimmed(), m_limits);
        if (!detail::trimRow(row.cells))
            continue;
        if (++m_rows > m_limits.maxRows)
            detail::tooManyRows(m_limits);
        return true;
    }
}

} // namespace fiscal::importing
