#include "clientlib/statementpacket_p.h"

#include "dataset/rowbuilder.h"

namespace fiscal::clientlib {

dataset::DataPacket readStatementPacket(storage::Statement &st)
{
    dataset::DataPacket packet;
    dataset::RowBuilder row;
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
        row.start();
        for (int c = 0; c < st.columnCount(); ++c) {
            if (st.isNull(c)) {
                row.appendNull();
            } else {
                const std::string_view v = st.text(c);
                // Bytes that are not UTF-8 come in as Qt takes them, with replacement characters.
                if (!row.appendUtf8(QByteArrayView(v.data(), qsizetype(v.size()))))
                    row.append(QStringView(QString::fromUtf8(v.data(), qsizetype(v.size()))));
            }
        }
        row.finishInto(packet.rows);
    }
    if (!haveFields)
        defineFields();
    return packet;
}

} // namespace fiscal::clientlib
