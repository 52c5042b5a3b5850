#include "Pkg_Ger10200/importacao/linespacket.h"

#include "dataset/packet.h"
#include "protocol/importcalls.h"

namespace fiscal::ger10200 {

LinesPacket::LinesPacket(const importing::LineTable &lines, const std::vector<bool> &skip)
    : m_lines(lines), m_skip(skip)
{
}

std::uint64_t LinesPacket::size()
{
    // Counted by encoding it once: the length then cannot drift from what is sent.
    if (!m_size) {
        const Stage stage = m_stage;
        const std::size_t at = m_next;
        rewind();
        std::uint64_t n = 0;
        QByteArray piece;
        while (next(piece, 64 * 1024))
            n += std::uint64_t(piece.size());
        m_size = n;
        m_stage = stage;
        m_next = at;
    }
    return *m_size;
}

void LinesPacket::rewind()
{
    m_stage = Stage::Header;
    m_next = 0;
}

bool LinesPacket::next(QByteArray &piece, qsizetype hint)
{
    if (m_stage == Stage::Done)
        return false;
    piece.resize(0);   // keeps its room: the next piece reuses it
    piece.reserve(hint + 600);
    const auto w = dataset::makeWriter(dataset::Encoding::Cbor, piece);
    if (m_stage == Stage::Header) {
        QList<dataset::FieldDef> fields;
        for (const protocol::PacketField &f : protocol::importing::kLinhas)
            fields.append({QString::fromLatin1(f.name.data(), f.name.size()), f.size});
        dataset::writePacketHeader(*w, fields);
        dataset::beginRows(*w);
        m_stage = Stage::Rows;
    }
    for (; m_next < m_lines.size() && piece.size() < hint; ++m_next) {
        if (m_next < m_skip.size() && m_skip[m_next])
            continue;
        w->startArray();
        w->string(m_lines.keyUtf8(m_next));
        w->string(m_lines.groupUtf8(m_next));
        w->endArray();
    }
    if (m_next == m_lines.size()) {
        dataset::endPacket(*w);
        m_stage = Stage::Done;
    }
    return true;
}

} // namespace fiscal::ger10200
