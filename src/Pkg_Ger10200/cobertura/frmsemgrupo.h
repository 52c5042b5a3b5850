#pragma once
// TfrmSemGrupo, "Registros sem grupo fiscal": the records of one row of the coverage report
// that have no fiscal group (GetSemGrupo), with their code, name and registration number
// (formatted as CNPJ/CPF), printable and exportable.

#include <QDialog>
#include <functional>

class QLabel;
class QTableView;
class QToolButton;
class QAbstractTableModel;

namespace fiscal::ger10200 {
class NetRemoteObject;
}
namespace fiscal::reports {
struct ReportTable;
}

namespace fiscal::ger10200::cobertura {

struct CoverageRow;

class TfrmSemGrupo : public QDialog {
    Q_OBJECT
public:
    using NameLookup = std::function<QString(const QString &code)>;
    // Reads the list through `net` (Ger10205.rdmRelatorios); server failures are shown and
    // abort, as every call's.
    TfrmSemGrupo(NetRemoteObject &net, const CoverageRow &row, const NameLookup &billingNames,
                 QWidget *parent = nullptr);

    reports::ReportTable Report() const;
    int rowCount() const;

    QTableView *tblRegistros;
    QLabel *lblContexto;
    QToolButton *sbtImprimir;
    QToolButton *sbtExportar;
    QToolButton *sbtFechar;

private:
    QAbstractTableModel *m_model;
    QString m_section;
    QStringList m_context;
};

} // namespace fiscal::ger10200::cobertura
