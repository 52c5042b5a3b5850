#pragma once
// TfrmCobertura, "Cobertura de grupos fiscais" (GER10205): for each kind of record, each tax
// and each tax and company state registration, how many records have a fiscal group and
// how many still have none; as a table and as a chart. Modal, opened from the main screen's
// menu; its own connection to Ger10205.rdmRelatorios, opened by its first call.
//
//   cbxParte        which part is shown (Cadastros, Imposto/Filial, Imposto/Inscrição ...)
//   tblCobertura    the rows of that part; a double click (or sbtSemGrupo) lists the
//                   records without a group of the row (TfrmSemGrupo)
//   chtCobertura    the shares as bars
//   sbtVerificar, sbtImprimir (Ctrl+P), sbtExportar, sbtSemGrupo, F1 (help), sbtFechar
//
// `names` (optional) gives the billing-type names by code for the lists.

#include "Pkg_Ger10200/cobertura/coveragemodel.h"

#include <QDateTime>
#include <QDialog>
#include <functional>

class QComboBox;
class QLabel;
class QTableView;
class QToolButton;
QT_BEGIN_NAMESPACE
class QChartView;
QT_END_NAMESPACE

namespace fiscal::ger10200 {
class NetRemoteObject;
}
namespace fiscal::reports {
struct ReportTable;
}

namespace fiscal::ger10200::cobertura {

class TfrmCobertura : public QDialog {
    Q_OBJECT
    Q_PROPERTY(bool loaded READ isLoaded)
public:
    using NameLookup = std::function<QString(const QString &code)>;
    explicit TfrmCobertura(QWidget *parent = nullptr, NameLookup billingNames = {});
    ~TfrmCobertura() override;

    bool isLoaded() const { return m_loaded; }
    // Asks the server for the counts again (the refresh button).
    void Atualiza();
    // The part shown as a report, as printed and exported.
    reports::ReportTable Report() const;
    // The records without a group of the selected row (the button, or a double click).
    void MostraSemGrupo();

    CoverageModel *model() const { return m_model; }
    NetRemoteObject *connection() const { return m_net; }

    QComboBox *cbxParte;
    QTableView *tblCobertura;
    QChartView *chtCobertura;
    QToolButton *sbtVerificar;
    QToolButton *sbtImprimir;
    QToolButton *sbtExportar;
    QToolButton *sbtSemGrupo;
    QToolButton *sbtAjuda;
    QToolButton *sbtFechar;
    QLabel *lblCodTela;
    QLabel *lblAtualizado;

protected:
    void showEvent(QShowEvent *event) override;

private:
    void partChanged();

    NetRemoteObject *m_net;
    CoverageModel *m_model;
    NameLookup m_billingNames;
    QDateTime m_countedAt;
    bool m_loaded = false;
    bool m_shown = false;
};

// Creates the dialog, runs it modally through the interaction service, releases it.
void Cria_Cobertura(QWidget *parent, TfrmCobertura::NameLookup billingNames = {});

} // namespace fiscal::ger10200::cobertura
