#include "Pkg_Ger10200/cobertura/coveragemodel.h"

#include "dataset/clientdataset.h"
#include "dataset/packet.h"

#include <QLocale>

#include <algorithm>

namespace fiscal::ger10200::cobertura {

namespace {

struct Caption {
    const char *entity;
    const char *caption;
};
const Caption kCaptions[] = {
    {"FORNECEDOR", "Fornecedores"},
    {"CLIENTE", "Clientes"},
    {"FILIAL", "Filiais"},
    {"TIPOOPERAC", "Tipos de operação"},
    {"TIPOFATUR", "Tipos de contrato (faturamento)"},
    {"TPFATURFIS", "Tipos de gestão fiscal"},
    {"GRFISCIMPOSFILI", "Filiais por imposto"},
    {"GRFISIMPIEFORN", "Fornecedores por imposto e inscrição estadual"},
    {"GRFISIMPIECLIE", "Clientes por imposto e inscrição estadual"},
};

bool inPart(const QString &entity, Part part)
{
    switch (part) {
    case Part::ImpostoFilial: return entity == QLatin1String("GRFISCIMPOSFILI");
    case Part::ImpostoInscFornecedor: return entity == QLatin1String("GRFISIMPIEFORN");
    case Part::ImpostoInscCliente: return entity == QLatin1String("GRFISIMPIECLIE");
    case Part::Cadastros: break;
    }
    return !entity.startsWith(QLatin1String("GRF"));
}

qint64 number(const QString &text)
{
    bool ok = false;
    const qint64 n = text.toLongLong(&ok);
    if (!ok)
        throw dataset::PacketError(QStringLiteral("Contagem inválida na resposta do servidor: %1").arg(text));
    return n;
}

} // namespace

QString entityCaption(const QString &entity)
{
    for (const Caption &c : kCaptions) {
        if (entity == QLatin1String(c.entity))
            return QString::fromUtf8(c.caption);
    }
    return entity;
}

QString partCaption(Part part)
{
    switch (part) {
    case Part::Cadastros: return QStringLiteral("Cadastros");
    case Part::ImpostoFilial: return QStringLiteral("Imposto/Filial");
    case Part::ImpostoInscFornecedor: return QStringLiteral("Imposto/Inscrição Estadual - Fornecedores");
    case Part::ImpostoInscCliente: return QStringLiteral("Imposto/Inscrição Estadual - Clientes");
    }
    return {};
}

QString shareText(std::int64_t withGroup, std::int64_t total)
{
    if (total <= 0)
        return {};   // nothing to cover: no share to speak of
    // Tenths of a percent, rounded, but kept off the ends the counts are not at.
    std::int64_t tenths = (withGroup * 2000 + total) / (2 * total);
    if (withGroup < total)
        tenths = std::min<std::int64_t>(tenths, 999);
    if (withGroup > 0)
        tenths = std::max<std::int64_t>(tenths, 1);
    return QLocale(QLocale::Portuguese, QLocale::Brazil).toString(double(tenths) / 10.0, 'f', 1) + QStringLiteral(" %");
}

CoverageModel::CoverageModel(QObject *parent) : QAbstractTableModel(parent) {}

void CoverageModel::setPacket(const dataset::DataPacket &packet)
{
    dataset::TClientDataSet cds;
    cds.setData(packet);
    auto field = [&cds](const char *name) { return cds.FieldByName(QString::fromLatin1(name))->Index(); };
    const int entity = field("CDENTIDADE"), imposto = field("CDIMPOSTO"), nmImposto = field("NMIMPOSTO"),
              empresa = field("CDEMPRESA"), insc = field("CDINSCESTA"), total = field("QTREGISTROS"),
              with = field("QTCOMGRUPO"), without = field("QTSEMGRUPO");
    QList<CoverageRow> rows;
    rows.reserve(cds.rowCount());
    for (int r = 0; r < cds.rowCount(); ++r) {
        CoverageRow row;
        row.entity = cds.textAt(r, entity, false);
        row.imposto = cds.textAt(r, imposto, false);
        row.nmImposto = cds.textAt(r, nmImposto, false);
        row.empresa = cds.textAt(r, empresa, false);
        row.inscEsta = cds.textAt(r, insc, false);
        row.total = number(cds.textAt(r, total, false));
        row.withGroup = number(cds.textAt(r, with, false));
        row.withoutGroup = number(cds.textAt(r, without, false));
        rows << row;
    }
    m_rows = rows;
    refilter();
}

void CoverageModel::setPart(Part part)
{
    m_part = part;
    refilter();
}

void CoverageModel::refilter()
{
    beginResetModel();
    m_shown.clear();
    for (const CoverageRow &r : m_rows) {
        if (inPart(r.entity, m_part))
            m_shown << r;
    }
    endResetModel();
}

QList<int> CoverageModel::unusedColumns() const
{
    switch (m_part) {
    case Part::Cadastros: return {Imposto, Empresa, Inscricao};
    case Part::ImpostoFilial: return {Nome, Empresa, Inscricao};
    default: return {Nome};
    }
}

int CoverageModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_shown.size());
}

int CoverageModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant CoverageModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_shown.size())
        return {};
    const CoverageRow &r = m_shown.at(index.row());
    const bool numeric = index.column() >= Registros;
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(Qt::Alignment((numeric ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter));
    if (role != Qt::DisplayRole)
        return {};
    const QLocale br(QLocale::Portuguese, QLocale::Brazil);
    switch (index.column()) {
    case Nome: return entityCaption(r.entity);
    case Imposto: return r.nmImposto.isEmpty() ? r.imposto : r.imposto + QStringLiteral(" - ") + r.nmImposto;
    case Empresa: return r.empresa;
    case Inscricao: return r.inscEsta;
    case Registros: return br.toString(r.total);
    case ComGrupo: return br.toString(r.withGroup);
    case SemGrupo: return br.toString(r.withoutGroup);
    case Percentual:
        return shareText(r.withGroup, r.total);
    }
    return {};
}

QVariant CoverageModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case Nome: return QStringLiteral("Cadastro");
    case Imposto: return QStringLiteral("Imposto");
    case Empresa: return QStringLiteral("Empresa");
    case Inscricao: return QStringLiteral("Inscrição Estadual");
    case Registros: return QStringLiteral("Registros");
    case ComGrupo: return QStringLiteral("Com grupo");
    case SemGrupo: return QStringLiteral("Sem grupo");
    case Percentual: return QStringLiteral("% com grupo");
    }
    return {};
}

} // namespace fiscal::ger10200::cobertura
