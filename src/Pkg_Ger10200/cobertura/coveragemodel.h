#pragma once
// The rows of GetCobertura as a table, one part at a time:
//
//   Cadastros                 one row per kind of record (suppliers, clients, ...)
//   Imposto/Filial            one row per tax: branches without a group for it
//   Fornecedores / Clientes por imposto e inscrição
//                             one row per tax and company state registration
//
// Columns: the row's name (kind, or tax / company / registration), records, with a group,
// without one, and the share with a group. Numbers are shown in the Brazilian way.

#include <QAbstractTableModel>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>

namespace fiscal::dataset {
struct DataPacket;
}

namespace fiscal::ger10200::cobertura {

enum class Part { Cadastros, ImpostoFilial, ImpostoInscFornecedor, ImpostoInscCliente };

struct CoverageRow {
    QString entity;          // FORNECEDOR, ..., GRFISCIMPOSFILI, GRFISIMPIEFORN, GRFISIMPIECLIE
    QString imposto, nmImposto, empresa, inscEsta;
    qint64 total = 0, withGroup = 0, withoutGroup = 0;
};

// Caption of an entity code ("Fornecedores"); the code itself when unknown.
QString entityCaption(const QString &entity);
// Caption of a part, as the part selector and the printed section show it.
QString partCaption(Part part);
// "97,5 %" of `total` records with a group; empty with none. Never "100,0 %" while one lacks
// a group, nor "0,0 %" once one has it.
QString shareText(std::int64_t withGroup, std::int64_t total);

class CoverageModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { Nome, Imposto, Empresa, Inscricao, Registros, ComGrupo, SemGrupo, Percentual, ColumnCount };

    explicit CoverageModel(QObject *parent = nullptr);

    // Reads a GetCobertura packet; throws dataset::PacketError on a packet of another shape.
    void setPacket(const dataset::DataPacket &packet);
    void setPart(Part part);
    Part part() const { return m_part; }

    const CoverageRow &row(int row) const { return m_shown.at(row); }
    const QList<CoverageRow> &allRows() const { return m_rows; }
    // Columns that mean nothing in the current part (hidden by the view, left out of print).
    QList<int> unusedColumns() const;

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    void refilter();

    QList<CoverageRow> m_rows;
    QList<CoverageRow> m_shown;
    Part m_part = Part::Cadastros;
};

} // namespace fiscal::ger10200::cobertura
