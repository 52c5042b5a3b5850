#pragma once
// Selection strings of the multi-choice search, as the server reads them:
//   "T"               every record (set by the screens, never by the list)
//   "'001','014'"     the chosen keys, each in single quotes, a quote inside doubled
//   ""                nothing chosen

#include <QString>
#include <QStringList>
#include <optional>

namespace fiscal::clientlib {

QString formatSelection(const QStringList &keys);

// The keys of a list; nullopt for anything that is not a well-formed list ("T" included).
std::optional<QStringList> parseSelection(const QString &selection);

} // namespace fiscal::clientlib
