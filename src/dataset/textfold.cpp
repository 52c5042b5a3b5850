#include "dataset/textfold.h"

#include "dataset/row.h"

#include <QChar>

#include <array>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace fiscal::dataset {
namespace {

constexpr char Blank = ' ';

char16_t foldWide(char16_t c)
{
    const QChar q(c);
    char16_t base = c;
    if (q.decompositionTag() == QChar::Canonical) {
        const QString d = q.decomposition();
        if (!d.isEmpty())
            base = d.at(0).unicode();
    }
    return QChar(base).toLower().unicode();
}

struct Tables {
    std::array<quint8, 256> sort;   // folded Latin-1 character
    std::array<quint8, 256> find;   // the same, 0 for what finding ignores, Blank for blanks
    Tables()
    {
        for (int c = 0; c < 256; ++c) {
            // Every Latin-1 character folds to a Latin-1 one (lower case keeps 'µ' and 'ß').
            sort[size_t(c)] = quint8(foldWide(char16_t(c)));
            find[size_t(c)] = c < 0x20 ? 0 : sort[size_t(c)];
        }
        for (char c : {'.', '/', '-'})
            find[size_t(quint8(c))] = 0;
        for (int c : {0x20, 0x09, 0x0a, 0x0d, 0x0b, 0x0c, 0xa0})
            find[size_t(c)] = quint8(Blank);
    }
};

const Tables kTables;

// Whether a folded character goes into the finding form: not when ignored (0), nor a
// blank after a blank. `blank` tracks whether the form ends in a blank.
inline bool kept(char16_t f, bool &blank)
{
    if (f == char16_t(Blank)) {
        if (blank)
            return false;
        blank = true;
        return true;
    }
    if (!f)
        return false;
    blank = false;
    return true;
}

// Appends the finding form of `text` to `out` (std::string or std::u16string): folded,
// punctuation dropped, blanks collapsed. `blank` says whether `out` ends in a blank.
template <class Out>
void foldForFind(QAnyStringView text, Out &out, bool &blank)
{
    const auto &find = kTables.find;
    constexpr bool narrow = sizeof(typename Out::value_type) == 1;
    if (isLatin1View(text)) {
        const auto *p = static_cast<const quint8 *>(text.data());
        const qsizetype n = text.size();
        const size_t at = out.size();
        out.resize(at + size_t(n));
        auto *o = out.data() + at;
        for (qsizetype i = 0; i < n; ++i) {
            const quint8 f = find[p[i]];
            if (kept(f, blank))
                *o++ = typename Out::value_type(f);
        }
        out.resize(size_t(o - out.data()));
        return;
    }
    const auto *p = static_cast<const char16_t *>(text.data());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t f = p[i] <= 0xff ? char16_t(find[p[i]]) : foldWide(p[i]);
        if (!kept(f, blank))
            continue;
        if constexpr (narrow)
            out.push_back(f > 0xff ? kFoldedWide : char(f));
        else
            out.push_back(f);
    }
}

template <class Out>
void foldCell(Out &out, std::span<const QAnyStringView> parts)
{
    bool blank = true;   // leading blanks count for nothing
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i > 0 && !blank) {
            out.push_back(typename Out::value_type(Blank));
            blank = true;
        }
        foldForFind(parts[i], out, blank);
    }
}

} // namespace

char16_t foldChar(char16_t c)
{
    return c <= 0xff ? char16_t(kTables.sort[c]) : foldWide(c);
}

const quint8 *latin1FoldTable()
{
    return kTables.sort.data();
}

int compareFolded(QAnyStringView a, QAnyStringView b)
{
    const qsizetype n = std::min(a.size(), b.size());
    const bool la = isLatin1View(a), lb = isLatin1View(b);
    const auto &sort = kTables.sort;
    if (la && lb) {
        const auto *pa = static_cast<const quint8 *>(a.data());
        const auto *pb = static_cast<const quint8 *>(b.data());
        for (qsizetype i = 0; i < n; ++i) {
            if (pa[i] != pb[i] && sort[pa[i]] != sort[pb[i]])
                return sort[pa[i]] < sort[pb[i]] ? -1 : 1;
        }
    } else {
        auto unit = [](QAnyStringView v, bool latin1, qsizetype i) {
            return latin1 ? char16_t(static_cast<const quint8 *>(v.data())[i])
                          : static_cast<const char16_t *>(v.data())[i];
        };
        for (qsizetype i = 0; i < n; ++i) {
            const char16_t fa = foldChar(unit(a, la, i)), fb = foldChar(unit(b, lb, i));
            if (fa != fb)
                return fa < fb ? -1 : 1;
        }
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

void appendFoldedCell(std::string &out, std::span<const QAnyStringView> parts)
{
    foldCell(out, parts);
}

// Looks for the needle's first and last characters at the same distance in sixteen places
// at once, and compares the rest only where both are there.
const char *findFolded(const char *begin, const char *end, std::string_view needle)
{
    const size_t m = needle.size();
    if (m == 0 || size_t(end - begin) < m)
        return nullptr;
    if (m == 1)
        return static_cast<const char *>(std::memchr(begin, needle[0], size_t(end - begin)));
    const char *p = begin;
#if defined(__SSE2__)
    const __m128i first = _mm_set1_epi8(needle.front());
    const __m128i last = _mm_set1_epi8(needle.back());
    while (end - p >= qsizetype(m - 1 + 16)) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + m - 1));
        unsigned mask = unsigned(_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, first), _mm_cmpeq_epi8(b, last))));
        while (mask) {
            const int bit = __builtin_ctz(mask);
            if (std::memcmp(p + bit + 1, needle.data() + 1, m - 2) == 0)
                return p + bit;
            mask &= mask - 1;
        }
        p += 16;
    }
#endif
    const void *hit = ::memmem(p, size_t(end - p), needle.data(), m);
    return static_cast<const char *>(hit);
}

TextMatcher::TextMatcher(QStringView needle)
{
    const QAnyStringView whole(needle);
    foldCell(m_needle, std::span<const QAnyStringView>(&whole, 1));
    if (m_needle.find_first_not_of(u' ') == std::u16string::npos) {
        m_needle.clear();
        return;
    }
    bool latin1 = true;
    for (char16_t c : m_needle)
        latin1 = latin1 && c <= 0xff;
    if (latin1)
        m_latin1.assign(m_needle.begin(), m_needle.end());
}

bool TextMatcher::matches(std::span<const QAnyStringView> parts) const
{
    if (m_needle.empty())
        return false;
    if (!m_latin1.empty()) {
        m_text8.clear();
        foldCell(m_text8, parts);
        return findFolded(m_text8.data(), m_text8.data() + m_text8.size(), m_latin1) != nullptr;
    }
    bool allLatin1 = true;
    for (const QAnyStringView &p : parts)
        allLatin1 = allLatin1 && isLatin1View(p);
    if (allLatin1)
        return false;   // the needle holds a character no Latin-1 text has
    m_text16.clear();
    foldCell(m_text16, parts);
    return std::u16string_view(m_text16).find(m_needle) != std::u16string_view::npos;
}

} // namespace fiscal::dataset
