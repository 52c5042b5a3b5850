#pragma once
// "Situação em…": one tab of the main screen as it was at a past moment, beside today.
//
//   TfrmMomentoSituacao   asks for the moment: date and time in local time, dd/mm/aaaa hh:mm
//   TfrmSituacaoEm        the tab's grid as it was then (GetSituacaoEm), read-only: the group
//                         then, a column "Hoje" where today's differs, who changed it last
//                         and when; "Somente os que mudaram"; sort and find as in the main
//                         grids; print and export with the moment in the title
//
// The main screen describes its active tab (SituacaoTab) and calls Cria_SituacaoEm.

#include <QDateTime>
#include <QDialog>
#include <QList>
#include <QStringList>

#include <functional>
#include <memory>

class QCheckBox;
class QDateTimeEdit;
class QLabel;
class QToolButton;

namespace fiscal::dataset {
class DataPacket;
class TClientDataSet;
class TDataSource;
}
namespace fiscal::reports {
struct ReportTable;
}
namespace fiscal::vcl {
class TDBGrid;
}

namespace fiscal::ger10200 {

struct SituacaoColumn {
    QString field;     // a field of the tab's packet
    QString title;
    int width = 0;     // 0: the grid's default
};

// The active tab as the window shows it.
struct SituacaoTab {
    QString table;                  // the history's table: CLIENTE, GRFISIMPIEFORN, ...
    QString section;                // the tab's caption
    QStringList filters;            // tax, company, registration, as many as the table takes
    QStringList context;            // "Imposto: 01 - ICMS", ... for the heading and the reports
    QList<SituacaoColumn> columns;  // the tab grid's columns but its group, left to right
    // The name of a billing type, for the billing-type tab (its grid names them so).
    std::function<QString(const QString &code)> billingName;
};

class TfrmMomentoSituacao : public QDialog {
    Q_OBJECT
public:
    explicit TfrmMomentoSituacao(const QDateTime &initial, QWidget *parent = nullptr);
    // The moment typed, in local time, to the minute.
    QDateTime Momento() const;

    QDateTimeEdit *dtpMomento;
    QToolButton *sbtConfirma;
    QToolButton *sbtCancela;

private:
    void sbtConfirmaClick();
};

class TfrmSituacaoEm : public QDialog {
    Q_OBJECT
public:
    // `packet`: GetSituacaoEm's answer for the tab at `moment` (local time).
    TfrmSituacaoEm(SituacaoTab tab, const QDateTime &moment, dataset::DataPacket &&packet, QWidget *parent = nullptr);
    ~TfrmSituacaoEm() override;

    reports::ReportTable Report() const;
    // The heading's moment: "15/03/2026 14:30".
    QString MomentoTexto() const;
    int changedCount() const { return m_changed; }

    QLabel *lblMomento;
    QLabel *lblContexto;
    QLabel *lblTotal;
    QCheckBox *chkSomenteMudaram;
    vcl::TDBGrid *dbgSituacao;
    dataset::TClientDataSet *cdsSituacao;
    dataset::TDataSource *dtsSituacao;
    QToolButton *sbtImprimir;
    QToolButton *sbtExportar;
    QToolButton *sbtFechar;

private:
    void buildGrid();
    void showRows();
    void wireTexts();

    SituacaoTab m_tab;
    QDateTime m_moment;
    std::unique_ptr<dataset::DataPacket> m_all;
    int m_changed = 0;
};

// Asks for the moment, reads the tab as it was then and shows it; asks again when the
// history cannot answer for that moment (saying from when it can). The window keeps its own
// connection to Ger10204.rdmHistorico, as the other history windows.
void Cria_SituacaoEm(QWidget *parent, const SituacaoTab &tab);

// The moment as the server takes it: UTC, ISO 8601.
QString momentoUtc(const QDateTime &local);

} // namespace fiscal::ger10200
