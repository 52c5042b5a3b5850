#include "importing/sharedstrings.h"

#include <cstring>

namespace fiscal::importing {

namespace {

// Indices past this are not counted (a hostile index would size the counts): such a string
// is simply kept.
constexpr std::size_t kMaxCounted = 16 * 1024 * 1024;
// A tag or a value longer than this is no sheet a program wrote.
constexpr qsizetype kMaxPending = 1024 * 1024;

// The local name of a tag starting at `p` (after '<' and any '/'): "x:c" is "c".
std::string_view localName(const char *p, const char *end)
{
    const char *q = p;
    while (q < end && *q != ' ' && *q != '>' && *q != '/' && *q != '\t' && *q != '\r' && *q != '\n')
        ++q;
    std::string_view name(p, std::size_t(q - p));
    if (const auto colon = name.find(':'); colon != std::string_view::npos)
        name.remove_prefix(colon + 1);
    return name;
}

// The value of attribute `name` inside a tag's text; empty when absent.
std::string_view attribute(std::string_view tag, std::string_view name)
{
    for (std::size_t at = tag.find(name); at != std::string_view::npos; at = tag.find(name, at + 1)) {
        const bool starts = at > 0 && (tag[at - 1] == ' ' || tag[at - 1] == '\t' || tag[at - 1] == '\n' || tag[at - 1] == '\r');
        std::size_t p = at + name.size();
        while (p < tag.size() && tag[p] == ' ')
            ++p;
        if (!starts || p >= tag.size() || tag[p] != '=')
            continue;
        ++p;
        while (p < tag.size() && tag[p] == ' ')
            ++p;
        if (p >= tag.size() || (tag[p] != '"' && tag[p] != '\''))
            return {};
        const std::size_t close = tag.find(tag[p], p + 1);
        return close == std::string_view::npos ? std::string_view() : tag.substr(p + 1, close - p - 1);
    }
    return {};
}

// "AB12" -> 27; -1 without letters.
int columnOf(std::string_view ref)
{
    int column = 0, letters = 0;
    for (const char c : ref) {
        if (c < 'A' || c > 'Z')
            break;
        if (++letters > 3)
            return -1;
        column = column * 26 + (c - 'A' + 1);
    }
    return letters ? column - 1 : -1;
}

} // namespace

SharedUses countSharedUses(QIODevice &sheet, const std::vector<bool> &keptColumns)
{
    int column = -1;
    SharedUses uses;
    const auto count = [&](std::size_t i) {
        if (i >= kMaxCounted)
            return;
        if (i >= uses.seen.size()) {
            uses.seen.resize(i + 1);
            uses.again.resize(i + 1);
        }
        if (uses.seen[i])
            uses.again[i] = true;
        uses.seen[i] = true;
    };
    QByteArray buf;
    bool sharedCell = false, inValue = false;
    char block[256 * 1024];
    for (;;) {
        const qint64 n = sheet.read(block, sizeof block);
        if (n <= 0)
            break;
        buf.append(block, qsizetype(n));
        const char *p = buf.constData(), *end = p + buf.size();
        const char *kept = p;   // what is not yet understood starts here
        while (const char *lt = static_cast<const char *>(std::memchr(p, '<', std::size_t(end - p)))) {
            if (inValue && sharedCell) {
                // The text of <v>: the string's index.
                std::size_t i = 0;
                bool digits = false;
                for (const char *d = p; d < lt; ++d) {
                    if (*d >= '0' && *d <= '9') {
                        i = std::min<std::size_t>(i * 10 + std::size_t(*d - '0'), kMaxCounted);
                        digits = true;
                    }
                }
                if (digits)
                    count(i);
            }
            inValue = false;
            const char *gt = static_cast<const char *>(std::memchr(lt, '>', std::size_t(end - lt)));
            if (!gt) {
                kept = lt;
                break;
            }
            const bool closing = lt + 1 < gt && lt[1] == '/';
            const std::string_view name = localName(lt + 1 + (closing ? 1 : 0), gt);
            if (!closing && name == "row") {
                column = -1;
            } else if (!closing && name == "c") {
                const std::string_view tag(lt, std::size_t(gt - lt));
                const int at = columnOf(attribute(tag, "r"));
                column = at < 0 ? column + 1 : at;
                sharedCell = attribute(tag, "t") == "s" && gt[-1] != '/' && column >= 0
                             && std::size_t(column) < keptColumns.size() && keptColumns[std::size_t(column)];
            } else if (!closing && name == "v") {
                inValue = gt[-1] != '/';
            } else if (closing && name == "c") {
                sharedCell = false;
            }
            p = gt + 1;
            kept = p;
        }
        if (!std::memchr(kept, '<', std::size_t(end - kept)) && !inValue)
            kept = end;   // text between tags, of no interest
        buf.remove(0, kept - buf.constData());
        if (buf.size() > kMaxPending)
            return {};   // a tag or value past any real one: no hint, every string is held

    }
    return uses;
}

SharedStrings::SharedStrings(const QString &path, const QString &entry, const Limits &limits)
    : m_path(path), m_entryName(entry), m_limits(limits)
{
    if (!m_entryName.isEmpty())
        open();
}

SharedStrings::~SharedStrings()
{
    m_xml.reset();
    m_entry.reset();
}

void SharedStrings::open()
{
    m_xml.reset();
    m_entry.reset();
    if (!m_zip)
        m_zip = std::make_unique<ZipArchive>(m_path, m_limits);
    m_entry = std::make_unique<ZipEntry>(*m_zip, m_entryName, m_limits.maxEntryBytes);
    m_xml = std::make_unique<QXmlStreamReader>(m_entry.get());
    m_next = 0;
    m_chars = 0;
    m_done = false;
    // Up to the root: a DTD is refused before any sheet is read.
    while (nextToken(*m_xml, *m_entry) && !m_xml->isStartElement()) {
    }
}

void SharedStrings::start(SharedUses uses)
{
    m_uses = std::move(uses);
    for (auto it = m_held.begin(); it != m_held.end();)
        it = m_uses.unused(it.key()) ? m_held.erase(it) : std::next(it);
}

bool SharedStrings::readOne(QString &text)
{
    if (!m_xml || m_done)
        return false;
    text.clear();
    int phonetic = 0;
    bool inString = false;
    while (nextToken(*m_xml, *m_entry)) {
        if (m_xml->isStartElement()) {
            if (m_xml->name() == QLatin1String("si"))
                inString = true;
            else if (m_xml->name() == QLatin1String("rPh"))
                ++phonetic;
            else if (m_xml->name() == QLatin1String("t") && inString && !phonetic)
                text += m_xml->readElementText();   // no child elements in <t>
        } else if (m_xml->isEndElement()) {
            if (m_xml->name() == QLatin1String("rPh")) {
                --phonetic;
            } else if (m_xml->name() == QLatin1String("si")) {
                m_chars += text.size();
                if (m_chars * 2 > m_limits.maxSharedStringBytes)
                    throw ReadError(QStringLiteral("A planilha tem textos demais para ser lida (mais de %1 MB).")
                                        .arg(m_limits.maxSharedStringBytes / (1024 * 1024)));
                text.truncate(m_limits.maxCellChars);
                return true;
            }
        }
    }
    if (m_xml->hasError())
        brokenFile(m_xml->errorString());
    m_done = true;
    return false;
}

void SharedStrings::missing(std::size_t index)
{
    brokenFile(QStringLiteral("texto compartilhado %1 inexistente").arg(index));
}

QString SharedStrings::take(std::size_t index, bool wanted)
{
    if (const auto it = m_held.find(index); it != m_held.end()) {
        QString text = it.value();
        if (wanted && m_uses.usedOnce(index))
            m_held.erase(it);
        return text;
    }
    if (index < m_next && !wanted)
        return {};
    if (index < m_next) {
        // Let go on a count that missed a use: the counts are not to be trusted, so the
        // strings are read again from the first and every one is held from now on (once:
        // a file the scan misreads must not read them again for each cell).
        if (m_entryName.isEmpty())
            missing(index);
        m_uses = {};
        open();
    }
    QString text;
    for (;;) {
        if (!readOne(text))
            missing(index);
        const std::size_t i = m_next++;
        if (i == index) {
            if (wanted ? !m_uses.usedOnce(i) : !m_uses.unused(i))
                m_held.insert(i, text);
            return text;
        }
        if (!m_uses.unused(i))
            m_held.insert(i, text);
    }
}

void SharedStrings::finish()
{
    if (!m_xml)
        return;
    QString text;
    while (readOne(text))
        ++m_next;
    m_entry->verify();
    m_xml.reset();
    m_entry.reset();
    m_held.clear();
    m_uses = {};
}

} // namespace fiscal::importing
