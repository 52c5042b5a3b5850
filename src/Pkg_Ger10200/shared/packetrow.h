#pragma once
// One row of a data packet read by field name, for screens that show a packet without
// loading it into a data set:
//
//   const PacketRow row(packet, r);
//   row["NMUSUARIO"]      the text; "" for null or a field the packet lacks

#include "dataset/packet.h"

#include <QString>

#include <optional>

namespace fiscal::ger10200 {

// One row of a packet, read by field name ("" for null or a field it lacks).
class PacketRow {
public:
    PacketRow(const dataset::DataPacket &p, int row) : m_p(p), m_row(row) {}
    QString operator[](const char *field) const
    {
        for (int f = 0; f < int(m_p.fields.size()); ++f) {
            if (m_p.fields[f].name == QLatin1String(field)) {
                const std::optional<QString> v = m_p.rows.at(m_row).value(f);
                return v ? *v : QString();
            }
        }
        return {};
    }
private:
    const dataset::DataPacket &m_p;
    int m_row;
};

} // namespace fiscal::ger10200
