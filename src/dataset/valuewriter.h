#pragma once
// Streaming writer of the protocol's values, so that a 500k-row packet is written
// straight from the database into the response body without building a tree.
// Two implementations with the same layout: CBOR and JSON.

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <memory>
#include <string_view>

namespace fiscal::dataset {

class ValueWriter {
public:
    virtual ~ValueWriter() = default;
    virtual void startArray() = 0;            // indefinite length
    virtual void endArray() = 0;
    virtual void startMap() = 0;
    virtual void endMap() = 0;
    virtual void key(std::string_view utf8) = 0;
    virtual void string(std::string_view utf8) = 0;   // must be valid UTF-8
    void string(const QString &s) { const QByteArray u = s.toUtf8(); string(std::string_view(u.constData(), size_t(u.size()))); }
    virtual void null() = 0;
    virtual void integer(std::int64_t v) = 0;
    virtual void boolean(bool v) = 0;
};

enum class Encoding { Cbor, Json };

// Writes into `out` (appending).
std::unique_ptr<ValueWriter> makeWriter(Encoding enc, QByteArray &out);

} // namespace fiscal::dataset
