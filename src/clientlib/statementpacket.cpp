#include "clientlib/statementpacket_p.h"

namespace fiscal::clientlib {

dataset::DataPacket readStatementPacket(storage::Statement &st)
{
    dataset::DataPacket packet;
    bool haveFields = false;
    const auto defineFields = [&] {
        for (int c = 0; c < st.columnCount(); ++c) {
            dataset::FieldDef def;
            def.name = QString::fromStdString(st.columnName(c)).toUpper();
            packet.fields.append(def);
        }
        haveFields = true;
    };
    while (st.step()) {
        if (!haveFields)
            defineFields();
        dataset::Row row;
        for (int c = 0; c < st.columnCount(); ++c) {
            if (st.isNull(c)) {
                row.appendNull();
            } else {
                const std::string_view v = st.text(c);
                row.append(QString::fromUtf8(v.data(), qsizetype(v.size())));
            }
        }
        packet.rows.append(std::move(row));
    }
    if (!haveFields)
        defineFields();
    return packet;
}

} // namespace fiscal::clientlib
