#pragma once
// Text as people compare it when they sort or look for a name: without regard to case or
// accents ("Ação" sorts and finds as "acao").
//
//   foldChar(c)           lower case, accents removed (the base of the canonical
//                         decomposition): 'Á' -> 'a', 'Ç' -> 'c', 'ñ' -> 'n'
//   compareFolded(a, b)   <0, 0, >0 comparing folded characters (Latin-1 or UTF-16 views)
//   TextMatcher           "contains", folded; for finding also ignores the punctuation of
//                         formatted registration numbers ('.', '/', '-') and control
//                         characters, and treats any run of blanks as one, so
//                         "12.345.678/0001-90" finds "12345678000190" and "001 - ICMS" finds a
//                         code and a description shown together.
//   appendFoldedCell(out, parts)   the Latin-1 finding form of a cell, as TextMatcher
//                         compares it (a character beyond Latin-1 becomes kFoldedWide)
//   findFolded(begin, end, needle) the first place of needle in [begin, end), or nullptr

#include <QAnyStringView>
#include <QString>

#include <span>
#include <string>
#include <string_view>

namespace fiscal::dataset {

// Bytes that never occur in folded text: a character beyond Latin-1 in Latin-1 text, and
// the ends of cells and rows in a text of many of them.
constexpr char kFoldedWide = '\x01';
constexpr char kCellEnd = '\x02';
constexpr char kRowEnd = '\x03';

char16_t foldChar(char16_t c);
const quint8 *latin1FoldTable();   // foldChar for 0..255
int compareFolded(QAnyStringView a, QAnyStringView b);
void appendFoldedCell(std::string &out, std::span<const QAnyStringView> parts);
const char *findFolded(const char *begin, const char *end, std::string_view needle);

class TextMatcher {
public:
    explicit TextMatcher(QStringView needle);

    // Nothing left to look for (empty, blanks or punctuation only).
    bool isEmpty() const { return m_needle.empty(); }

    bool matches(QAnyStringView text) const { return matches(std::span<const QAnyStringView>(&text, 1)); }
    // The parts read as one text with a blank between them (a cell showing several fields).
    bool matches(std::span<const QAnyStringView> parts) const;
    // The folded needle when it is all Latin-1 (what a folded text can be searched for);
    // empty otherwise.
    const std::string &latin1() const { return m_latin1; }

private:
    std::u16string m_needle;    // folded
    std::string m_latin1;       // the same, when every folded character is Latin-1
    mutable std::string m_text8;
    mutable std::u16string m_text16;
};

} // namespace fiscal::dataset
