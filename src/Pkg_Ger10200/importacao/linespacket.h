#pragma once
// The lines of a spreadsheet as the import calls take them (the `linhas` packet), encoded
// while the call is sent, straight from the packed lines: a piece at a time, so the packet of
// 500,000 lines is never whole in memory.
//
//   LinesPacket packet(file.lines, wrong);     // lines `wrong` marks are left out
//   net->call(method, {entity, tax, company, registration}, packet);

#include "importing/importlines.h"
#include "rpc/streamedparam.h"

#include <optional>
#include <vector>

namespace fiscal::ger10200 {

class LinesPacket final : public rpc::StreamedParam {
public:
    // Both must outlive the packet; `skip` may be shorter than the lines (none skipped).
    LinesPacket(const importing::LineTable &lines, const std::vector<bool> &skip);

    std::uint64_t size() override;
    void rewind() override;
    bool next(QByteArray &piece, qsizetype hint) override;

private:
    enum class Stage { Header, Rows, Done };

    const importing::LineTable &m_lines;
    const std::vector<bool> &m_skip;
    Stage m_stage = Stage::Header;
    std::size_t m_next = 0;
    std::optional<std::uint64_t> m_size;
};

} // namespace fiscal::ger10200
