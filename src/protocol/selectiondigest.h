#pragma once
// How the history keeps a long selection ('k1','k2',... of thousands of keys): its number of
// keys and the SHA-256 of the text as sent, "30.000 chaves; SHA-256 3f2a…" (64 hex digits),
// instead of the text itself. Every row the call changed is in its items all the same; the
// digest tells whether two operations were given the same list.
//
//   protocol::keptSelection(text)        -> the text itself, or its digest when long
//   protocol::digestedKeys(kept)         -> 30000 for a digest, nothing for anything else

#include <QString>
#include <QStringView>

#include <optional>

namespace fiscal::protocol {

// Selections longer than this are kept as their digest.
constexpr qsizetype kKeptSelectionLength = 1024;

// The keys of a selection text ('a','b''c' -> 2); 0 for "T" and for an empty text.
qint64 selectionKeyCount(QStringView selection);

QString keptSelection(const QString &text);
std::optional<qint64> digestedKeys(QStringView kept);

} // namespace fiscal::protocol
