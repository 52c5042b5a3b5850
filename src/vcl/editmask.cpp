#include "vcl/editmask.h"

namespace fiscal::vcl {

namespace {

bool isPictureChar(QChar c)
{
    switch (c.unicode()) {
    case '0': case '9': case '#': case 'L': case 'l': case 'A': case 'a': case 'C': case 'c':
        return true;
    default:
        return false;
    }
}

QChar applyCase(QChar c, EditMask::Case cc)
{
    switch (cc) {
    case EditMask::Case::Upper: return c.toUpper();
    case EditMask::Case::Lower: return c.toLower();
    case EditMask::Case::None: break;
    }
    return c;
}

// Characters that QLineEdit's input mask would read as meta characters.
bool isQtMaskMeta(QChar c)
{
    static const QString meta = QStringLiteral("AaNnXx90Dd#HhBb<>!\\;[]{}");
    return meta.contains(c);
}

} // namespace

EditMask EditMask::parse(const QString &mask)
{
    EditMask m;
    // Split off the two trailing parts at unescaped semicolons.
    QString picture;
    QStringList rest;
    {
        int i = 0;
        for (; i < mask.size(); ++i) {
            const QChar c = mask.at(i);
            if (c == QLatin1Char('\\') && i + 1 < mask.size()) {
                picture += c;
                picture += mask.at(++i);
                continue;
            }
            if (c == QLatin1Char(';'))
                break;
            picture += c;
        }
        if (i < mask.size())
            rest = mask.mid(i + 1).split(QLatin1Char(';'));
    }
    if (!rest.isEmpty())
        m.m_storeLiterals = rest.at(0).trimmed() != QLatin1String("0");
    if (rest.size() > 1 && !rest.at(1).isEmpty())
        m.m_blank = rest.at(1).at(0);

    Case cc = Case::None;
    for (int i = 0; i < picture.size(); ++i) {
        const QChar c = picture.at(i);
        if (c == QLatin1Char('!'))
            continue;
        if (c == QLatin1Char('<') && i + 1 < picture.size() && picture.at(i + 1) == QLatin1Char('>')) {
            cc = Case::None;
            ++i;
            continue;
        }
        if (c == QLatin1Char('>')) { cc = Case::Upper; continue; }
        if (c == QLatin1Char('<')) { cc = Case::Lower; continue; }
        Position p;
        p.charCase = cc;
        if (c == QLatin1Char('\\') && i + 1 < picture.size()) {
            p.ch = picture.at(++i);
        } else if (c == QLatin1Char('_')) {
            p.ch = QLatin1Char(' ');
        } else if (isPictureChar(c)) {
            p.editable = true;
            p.ch = c;
        } else {
            p.ch = c;
        }
        m.m_positions.append(p);
    }
    return m;
}

int EditMask::editableCount() const
{
    int n = 0;
    for (const Position &p : m_positions)
        n += p.editable ? 1 : 0;
    return n;
}

bool EditMask::accepts(QChar pic, QChar c)
{
    switch (pic.unicode()) {
    case '0': case '9': return c.isDigit();
    case '#': return c.isDigit() || c == QLatin1Char('+') || c == QLatin1Char('-');
    case 'L': case 'l': return c.isLetter();
    case 'A': case 'a': return c.isLetterOrNumber();
    default: return !c.isNull();
    }
}

QString EditMask::format(const QString &stored) const
{
    if (isNull())
        return stored;
    QString out;
    out.reserve(m_positions.size());
    int vi = 0;
    for (const Position &p : m_positions) {
        if (!p.editable) {
            out += p.ch;
            if (m_storeLiterals && vi < stored.size() && stored.at(vi) == p.ch)
                ++vi;
            continue;
        }
        out += vi < stored.size() ? applyCase(stored.at(vi++), p.charCase) : m_blank;
    }
    return out;
}

QString EditMask::storedText(const QString &displayed) const
{
    if (isNull())
        return displayed;
    const auto filled = [&](int i) {
        return m_positions.at(i).editable && i < displayed.size() && displayed.at(i) != m_blank;
    };
    int first = -1, last = -1;
    for (int i = 0; i < m_positions.size(); ++i) {
        if (filled(i)) {
            if (first < 0)
                first = i;
            last = i;
        }
    }
    // Blanks at either end are dropped; one between two characters stays a blank, so that
    // "1 3" is not read as the code 13.
    QString out;
    for (int i = 0; i < m_positions.size(); ++i) {
        const Position &p = m_positions.at(i);
        if (!p.editable) {
            if (m_storeLiterals)
                out += p.ch;
        } else if (filled(i)) {
            out += displayed.at(i);
        } else if (i > first && i < last) {
            out += QLatin1Char(' ');
        }
    }
    return out;
}

int EditMask::filledCount(const QString &displayed) const
{
    if (isNull())
        return int(displayed.trimmed().size());
    int n = 0;
    for (int i = 0; i < m_positions.size() && i < displayed.size(); ++i) {
        const Position &p = m_positions.at(i);
        if (p.editable && displayed.at(i) != m_blank && !displayed.at(i).isSpace())
            ++n;
    }
    return n;
}

QString EditMask::qtInputMask() const
{
    if (isNull())
        return {};
    QString out;
    Case cc = Case::None;
    for (const Position &p : m_positions) {
        if (p.charCase != cc) {
            cc = p.charCase;
            out += cc == Case::Upper ? QLatin1Char('>') : cc == Case::Lower ? QLatin1Char('<') : QLatin1Char('!');
        }
        if (!p.editable) {
            if (isQtMaskMeta(p.ch))
                out += QLatin1Char('\\');
            out += p.ch;
            continue;
        }
        switch (p.ch.unicode()) {
        case '0': out += QLatin1Char('9'); break;
        case '9': out += QLatin1Char('0'); break;
        case '#': out += QLatin1Char('#'); break;
        case 'L': out += QLatin1Char('A'); break;
        case 'l': out += QLatin1Char('a'); break;
        case 'A': out += QLatin1Char('N'); break;
        case 'a': out += QLatin1Char('n'); break;
        case 'C': out += QLatin1Char('X'); break;
        default: out += QLatin1Char('x'); break;
        }
    }
    out += QLatin1Char(';');
    out += m_blank;
    return out;
}

QString FormatMaskText(const QString &mask, const QString &value)
{
    return EditMask::parse(mask).format(value);
}

} // namespace fiscal::vcl
