#pragma once
// Data packets written straight from a statement into the response, row by row:
//   {"fields": [{"name", "size", "type": "string", "required": false}, ...],
//    "rows":   [[text-or-null, ...], ...]}
// Nothing is buffered per row; a 500k-row table goes out as the database hands it over.

#include "dataset/valuewriter.h"
#include "protocol/packetfield.h"
#include "storage/database.h"

#include <cstdint>
#include <span>
#include <string_view>

namespace fiscal::appserver {

using FieldSpec = protocol::PacketField;

void writeFieldDefs(dataset::ValueWriter &w, std::span<const FieldSpec> fields);

// Runs (or continues) `stmt` and writes the whole packet; returns the number of rows.
// The statement's columns must be the fields, in order.
std::int64_t writePacket(dataset::ValueWriter &w, std::span<const FieldSpec> fields,
                         storage::Statement &stmt);

// The fields and no rows: what an empty or unknown key gets.
void writeEmptyPacket(dataset::ValueWriter &w, std::span<const FieldSpec> fields);

bool isValidUtf8(std::string_view s);

} // namespace fiscal::appserver
