#pragma once
// Readable texts in failure messages (the module tests have their own).
#include <QString>
#include <QStringList>
#include <ostream>

inline void PrintTo(const QString &s, std::ostream *os) { *os << '"' << s.toStdString() << '"'; }
inline void PrintTo(const QStringList &l, std::ostream *os) { *os << '[' << l.join(QStringLiteral(" | ")).toStdString() << ']'; }
