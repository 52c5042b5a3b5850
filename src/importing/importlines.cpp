#include "importing/importlines.h"

#include "storage/documents.h"

#include <deque>


namespace fiscal::importing {

namespace {

using protocol::importing::Entity;

// Rows searched for a title row before the file is taken as having none.
constexpr int kTitleSearch = 20;
constexpr int kMaxKey = 21;

const QStringList &codeTitles()
{
    static const QStringList t{
        QStringLiteral("codigo"), QStringLiteral("cod"), QStringLiteral("cod."), QStringLiteral("registro"),
        QStringLiteral("chave"), QStringLiteral("fornecedor"), QStringLiteral("cliente"), QStringLiteral("filial"),
        QStringLiteral("codigo do fornecedor"), QStringLiteral("codigo do cliente"), QStringLiteral("codigo da filial"),
        QStringLiteral("tipo de operacao"), QStringLiteral("tipo operacao"), QStringLiteral("tipo faturamento"),
        QStringLiteral("tipo de faturamento"), QStringLiteral("tipo de contrato"), QStringLiteral("tipo gestao fiscal"),
        QStringLiteral("tipo de gestao fiscal")};
    return t;
}

const QStringList &documentTitles()
{
    static const QStringList t{QStringLiteral("cnpj"), QStringLiteral("cpf"), QStringLiteral("cnpj/cpf"),
                               QStringLiteral("cpf/cnpj"), QStringLiteral("cnpj / cpf"), QStringLiteral("cpf / cnpj"),
                               QStringLiteral("cnpj ou cpf"), QStringLiteral("inscricao"), QStringLiteral("cgc"),
                               QStringLiteral("cgc/cpf")};
    return t;
}

const QStringList &groupTitles()
{
    static const QStringList t{QStringLiteral("grupo fiscal"), QStringLiteral("grupo"), QStringLiteral("cdgrupofisc"),
                               QStringLiteral("codigo do grupo"), QStringLiteral("codigo do grupo fiscal")};
    return t;
}

// A column of new groups beside the exported one ("Grupo Fiscal" as the grid wrote it): the
// new one is what the person means.
// Titles that name a column only loosely: a more specific one beside it wins ("Grupo Fiscal"
// over a "Grupo" that may hold another grouping, "Código" over "Cliente" or "Filial").
bool looseTitle(const QString &key)
{
    static const QStringList t{QStringLiteral("grupo"), QStringLiteral("registro"), QStringLiteral("chave"),
                               QStringLiteral("fornecedor"), QStringLiteral("cliente"), QStringLiteral("filial")};
    return t.contains(key);
}

const QStringList &newGroupTitles()
{
    static const QStringList t{QStringLiteral("grupo fiscal novo"), QStringLiteral("novo grupo fiscal"),
                               QStringLiteral("novo grupo")};
    return t;
}

bool allDigits(const QString &s)
{
    if (s.isEmpty())
        return false;
    for (const QChar c : s) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return true;
}

QString beforeDash(const QString &cell)
{
    const QString t = cell.trimmed();
    const qsizetype dash = t.indexOf(QLatin1String(" - "));
    if (dash > 0)
        return t.left(dash).trimmed();
    // "004 - " of a group whose description is blank, trimmed.
    return t.endsWith(QLatin1String(" -")) ? t.chopped(2).trimmed() : t;
}

// All-digit text shown wider than `width` by a format of zeros ("000007" for branch 0007):
// the zeros past the width go.
QString withoutExtraZeros(const QString &digits, qsizetype width)
{
    qsizetype extra = 0;
    while (digits.size() - extra > width && digits.at(extra) == QLatin1Char('0'))
        ++extra;
    return digits.mid(extra);
}

// A CNPJ or CPF typed as a number lost its leading zeros: up to 11 digits it is a CPF when
// the zeros make a valid one, else a CNPJ. A column formatted for the 14 digits of a CNPJ
// shows a CPF with three zeros more: the CPF counts when the 14 are no valid CNPJ.
QString completeDocument(const QString &digits)
{
    if (digits.size() == 14 && digits.startsWith(QLatin1String("000")) && !storage::isValidCnpj(digits.toStdString())
        && storage::isValidCpf(digits.right(11).toStdString()))
        return digits.right(11);
    if (digits.size() <= 11) {
        const QString cpf = digits.rightJustified(11, QLatin1Char('0'));
        if (storage::isValidCpf(cpf.toStdString()))
            return cpf;
    }
    return digits.size() < 14 ? digits.rightJustified(14, QLatin1Char('0')) : digits;
}

} // namespace

void LineTable::push_back(const ImportLine &l)
{
    const QByteArray key = l.key.toUtf8(), group = l.group.toUtf8();
    const std::size_t bytes = std::size_t(key.size() + group.size());
    if (key.size() > 255 || bytes > kBlock)
        throw ReadError(QStringLiteral("A planilha tem texto demais para ser lido."));
    if (m_blocks.empty() || m_blocks.back().size() + bytes > kBlock) {
        if ((m_blocks.size() + 1) * kBlock > UINT32_MAX)
            throw ReadError(QStringLiteral("A planilha tem texto demais para ser lido."));
        m_blocks.emplace_back().reserve(kBlock);
    }
    std::string &block = m_blocks.back();
    m_line.push_back(l.line);
    m_start.push_back(std::uint32_t((m_blocks.size() - 1) * kBlock + block.size()));
    m_keyBytes.push_back(std::uint8_t(key.size()));
    block.append(key.constData(), std::size_t(key.size()));
    block.append(group.constData(), std::size_t(group.size()));
}

QString titleKey(const QString &title)
{
    QString folded;
    for (const QChar c : title.normalized(QString::NormalizationForm_D)) {
        if (c.category() != QChar::Mark_NonSpacing)
            folded += c.toLower();
    }
    folded = folded.simplified();
    while (folded.endsWith(QLatin1Char(':')))
        folded.chop(1);
    return folded;
}

Columns findColumns(const QStringList &titles)
{
    Columns c;
    int document = -1, newGroup = -1;
    // The first of its kind, unless it is loose and a specific one comes later.
    const auto takes = [&titles](int taken, const QString &t) {
        return taken < 0 || (looseTitle(titleKey(titles.at(taken))) && !looseTitle(t));
    };
    for (int i = 0; i < titles.size(); ++i) {
        const QString t = titleKey(titles.at(i));
        if (newGroup < 0 && newGroupTitles().contains(t))
            newGroup = i;
        else if (groupTitles().contains(t)) {
            if (takes(c.group, t))
                c.group = i;
        } else if (codeTitles().contains(t)) {
            if (takes(c.key, t))
                c.key = i;
        } else if (document < 0 && documentTitles().contains(t)) {
            document = i;
        }
    }
    if (newGroup >= 0)
        c.group = newGroup;
    // A code names one record; a CNPJ may be shared: the code wins when both are there.
    if (c.key < 0 && document >= 0) {
        c.key = document;
        c.documents = true;
    }
    if (c.key >= 0)
        c.keyTitle = titles.at(c.key).trimmed();
    if (c.group >= 0)
        c.groupTitle = titles.at(c.group).trimmed();
    return c;
}

QString recordKey(const QString &cell, const Entity &e, bool documentColumn)
{
    QString key = beforeDash(cell);
    if (!allDigits(key))
        return key;
    if (e.codeWidth > 0 && key.size() < e.codeWidth)
        return key.rightJustified(e.codeWidth, QLatin1Char('0'));
    if (e.codeWidth > 0 && key.size() > e.codeWidth)
        return withoutExtraZeros(key, e.codeWidth);
    // A column titled CNPJ/CPF holds documents only; elsewhere a number may be a code, which
    // the server tries first, before it completes the number as a document.
    if (!e.document.empty() && documentColumn)
        return completeDocument(key);
    return key;
}

QString documentFromNumber(const QString &digits)
{
    return QString::fromStdString(storage::documentFromNumber(digits.toStdString()));
}

std::optional<QString> groupCode(const QString &cell)
{
    QString g = beforeDash(cell);
    if (allDigits(g))
        g = withoutExtraZeros(g, 3);
    if (g.size() > 3 || g.contains(QLatin1Char(' ')))
        return std::nullopt;
    return allDigits(g) ? g.rightJustified(3, QLatin1Char('0')) : g;
}

ImportFile readImportLines(SheetSource &source, const Entity &e, const std::function<bool(std::int64_t)> &progress)
{
    ImportFile f;
    // Rows before a title row (a report's heading) are not data; up to kTitleSearch rows
    // are held until a title row shows up or the file is known to have none.
    std::deque<SheetRow> held;
    SheetRow row;
    while (int(held.size()) < kTitleSearch && source.next(row)) {
        const Columns c = findColumns(row.cells);
        if (c.key >= 0 || c.group >= 0) {
            if (c.key < 0 || c.group < 0)
                throw ReadError(c.key < 0 ? QStringLiteral("A linha %1 tem títulos, mas nenhum deles é o do registro "
                                                           "(\"Código\", \"CNPJ\", \"CPF\" ou \"Inscrição\").")
                                                .arg(row.line)
                                          : QStringLiteral("A linha %1 tem títulos, mas nenhum deles é o do grupo "
                                                           "fiscal (\"Grupo Fiscal\" ou \"Grupo\").")
                                                .arg(row.line));
            f.columns = c;
            f.columns.titleLine = row.line;
            for (const SheetRow &above : held) {
                const QString line = above.cells.value(0).trimmed();
                for (const char *label : {"Imposto", "Empresa", "Inscrição Estadual"}) {
                    const QString prefix = QString::fromUtf8(label) + QStringLiteral(": ");
                    if (line.startsWith(prefix))
                        f.heading[QString::fromUtf8(label)] = line.mid(prefix.size()).section(QStringLiteral(" - "), 0, 0).trimmed();
                }
            }
            held.clear();
            break;
        }
        held.push_back(row);
    }
    if (f.columns.titleLine == 0) {
        f.columns.key = 0;
        f.columns.group = 1;
    }

    auto take = [&](const SheetRow &r) {
        ++f.rowsRead;
        const QString keyCell = r.cells.value(f.columns.key);
        const QString groupCell = r.cells.value(f.columns.group);
        const QString key = recordKey(keyCell, e, f.columns.documents);
        const std::optional<QString> group = groupCode(groupCell);
        if (key.isEmpty())
            f.errors.push_back({r.line, QStringLiteral("Registro não informado.")});
        else if (key.size() > kMaxKey)
            f.errors.push_back({r.line, QStringLiteral("Registro \"%1\" com mais de %2 caracteres.").arg(key.left(40)).arg(kMaxKey)});
        else
            // A group that cannot be a code still goes with its line: the line names its
            // record, and another line of the record with another group is wrong too.
            f.lines.push_back({r.line, key, group ? *group : groupCell.trimmed().left(protocol::importing::kGroupAsWritten)});
    };
    source.keepColumns({f.columns.key, f.columns.group});
    for (const SheetRow &r : held)
        take(r);
    while (source.next(row)) {
        take(row);
        if (progress && f.rowsRead % 4096 == 0 && !progress(f.rowsRead))
            break;
    }
    return f;
}

} // namespace fiscal::importing
