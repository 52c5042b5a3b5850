#pragma once
// Edit masks in the three-part form "picture;storeLiterals;blank", for example
// "99;0; " (two optional digits, literals not stored, blank shown as a space) or
// "999.999.999-99;0;_".
//
// Picture characters: 0 digit required, 9 digit optional, # digit or sign optional,
// L letter required, l letter optional, A letter/digit required, a letter/digit optional,
// C any character required, c any character optional; > upper case from here,
// < lower case from here, <> neither; \x the literal x; _ a literal space; '!' (optional
// characters shown as leading blanks) is accepted and otherwise ignored; every other
// character is a literal. Missing parts default to "store literals" and blank '_'.
//
//   EditMask::parse(mask)          never throws; an empty mask gives isNull() == true
//   format(stored)                 literals inserted between the stored characters,
//                                  blanks where the value runs out
//   storedText(displayed)          the characters the mask stores, blanks dropped
//   filledCount(displayed)         editable positions holding a character
//   qtInputMask()                  the same mask in QLineEdit::inputMask() notation
//
//   FormatMaskText(mask, value)    == EditMask::parse(mask).format(value)

#include <QChar>
#include <QList>
#include <QString>

namespace fiscal::vcl {

class EditMask {
public:
    enum class Case { None, Upper, Lower };
    struct Position {
        bool editable = false;
        QChar ch;           // the picture character, or the literal itself
        Case charCase = Case::None;
    };

    static EditMask parse(const QString &mask);

    bool isNull() const { return m_positions.isEmpty(); }
    bool storesLiterals() const { return m_storeLiterals; }
    QChar blank() const { return m_blank; }
    const QList<Position> &positions() const { return m_positions; }
    int editableCount() const;

    QString format(const QString &stored) const;
    QString storedText(const QString &displayed) const;
    int filledCount(const QString &displayed) const;
    QString qtInputMask() const;

    // Whether c may stand at an editable position with picture character pic.
    static bool accepts(QChar pic, QChar c);

private:
    QList<Position> m_positions;
    bool m_storeLiterals = true;
    QChar m_blank = QLatin1Char('_');
};

QString FormatMaskText(const QString &mask, const QString &value);

} // namespace fiscal::vcl
