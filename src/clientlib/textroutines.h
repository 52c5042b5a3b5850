#pragma once
// Text routines of the shared library.
//
//   AllTrim(" 01 ")          "01"
//   EmptyString(text)        true for "", blanks only, or an unfilled masked text
//   Ajusta(code, width)      stored form of a code: digits left-padded with '0' to width
//   PictPess(personType)     edit mask of a registration number for 'F' (CPF) or 'J' (CNPJ)

#include <QString>

namespace fiscal::clientlib {

QString AllTrim(const QString &text);

// An unfilled masked box hands over its blanks (spaces, or '_' where the mask shows
// that) and nothing else: that counts as empty too.
bool EmptyString(const QString &text);

// Codes are stored as fixed-width digit strings ("001"). Blanks around the code are
// dropped; a code of digits shorter than `width` is left-padded with '0'; an empty code
// stays empty. A digit code longer than `width` loses leading zeros down to `width`
// ("0001" -> "001"); if it is still too long it is returned trimmed but otherwise
// unchanged, never cut, so the lookup that follows reports it as not registered instead
// of finding some other record. A code with other characters is only trimmed.
QString Ajusta(const QString &code, int width);

// "999.999.999-99;0;_" for 'F' (natural person, CPF), "99.999.999/9999-99;0;_" for 'J'
// (company, CNPJ), "" (no mask) for anything else. Case does not matter.
QString PictPess(const QString &personType);

} // namespace fiscal::clientlib
