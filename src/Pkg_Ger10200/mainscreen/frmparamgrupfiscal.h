#pragma once
// TfrmParamGrupFiscal, "Parâmetros de Grupo Fiscal" (GER10200): one tab per kind of
// fiscal-group parameter. The members keep the names the rest of the system uses.
//
// Sources, one concern each:
//   tabsloading.cpp   building the tabs, grids, data sets, queries and menus
//   loading.cpp       create/activate/close; the first load, AtualizaQuery, the refresh of
//                     the active tab, the dialog commands
//   editmode.cpp      tab switch, state handling, HabilitaTSH, edit/cancel, menus
//   gridcells.cpp     ellipsis button, Vd_GrupoFiscal, cell painters, display texts
//   saving.cpp        BeforeInsert / BeforePost / AfterPost / AfterDelete of the grids
//   reporting.cpp     printing and exporting the active tab, the coverage report, the
//                     manual's page of the active tab
//   history.cpp       the history of the current row, the recent operations and the active
//                     tab at a past moment (historico/)
//   tabimpfili.cpp, tabimpinscesta.cpp, taboperinter.cpp, tabtipogest.cpp
//                     what only one tab does
//   toolicons.cpp     the pictures of this screen's own tool buttons
//
// `loaded` turns true once the first load has put the data on screen (the host's
// --screenshot waits for it).

#include "Pkg_Ger10200/importacao/importtarget.h"
#include "clientlib/frmpadraogrid.h"

#include <QCborArray>
#include <QList>
#include <QPointer>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

class QAction;
class QIcon;
class QLineEdit;
class QPainter;
class QRect;

namespace fiscal::dataset {
class TClientDataSet;
class TDataSource;
class TField;
}
namespace fiscal::vcl {
class TDBGrid;
class TMaskEdit;
class TPageControl;
class TTabSheet;
class TPanel;
class TLabel;
class TSpeedButton;
class TColumn;
}
namespace fiscal::reports {
struct ReportTable;
}
namespace fiscal::clientlib {
class TBtnPesquisa;
class TADOIBQuery;
}

namespace fiscal::ger10200 {

class NetParamGrupFiscal;
struct RecordRef;
struct SituacaoTab;
class CodeField;

class TfrmParamGrupFiscal : public clientlib::TfrmPadraoGrid {
    Q_OBJECT
    Q_PROPERTY(bool loaded READ isLoaded NOTIFY loadedChanged)
public:
    explicit TfrmParamGrupFiscal(QWidget *parent = nullptr);
    ~TfrmParamGrupFiscal() override;

    bool isLoaded() const { return m_loaded; }

    // Reloads the active tab's data set and the state-registration set of the active
    // inner tab (after the dialogs).
    void AtualizaQuery();

    // The active tab as printed and exported (reporting.cpp). A file also gets the codes of
    // the suppliers and clients, which the grids keep hidden (see withRecordCodes).
    enum class ReportUse { Shown, File };
    reports::ReportTable ActiveReport(ReportUse use = ReportUse::Shown);
    // The manual's page of the active tab.
    QString HelpKeyword() const override;

    NetParamGrupFiscal *netParamGrupFiscal = nullptr;

    // Tabs of pgcPadrao (tshPadrao is the base screen's).
    vcl::TTabSheet *tshCliente = nullptr;
    vcl::TTabSheet *tshFilial = nullptr;
    vcl::TTabSheet *tshTipoOperac = nullptr;
    vcl::TTabSheet *tshTipoContrato = nullptr;
    vcl::TTabSheet *tshOperInter = nullptr;
    vcl::TTabSheet *tshTipoGest = nullptr;
    vcl::TTabSheet *tshImpFili = nullptr;
    vcl::TTabSheet *tshImpInscEsta = nullptr;
    vcl::TPageControl *pgcCliente = nullptr;
    vcl::TTabSheet *tshFornecedor = nullptr;
    vcl::TTabSheet *tshCli = nullptr;

    // Grids (dbgPadrao is the base screen's).
    vcl::TDBGrid *dbgCliente = nullptr;
    vcl::TDBGrid *dbgFilial = nullptr;
    vcl::TDBGrid *dbgTipooperac = nullptr;
    vcl::TDBGrid *dbgTipoFatur = nullptr;
    vcl::TDBGrid *dbgTipoGest = nullptr;
    vcl::TDBGrid *dbgImpFili = nullptr;
    vcl::TDBGrid *dbgFornInsc = nullptr;
    vcl::TDBGrid *dbgCliInsc = nullptr;

    // Data sets and their sources.
    dataset::TClientDataSet *cdsFornecedor = nullptr;
    dataset::TClientDataSet *cdsCliente = nullptr;
    dataset::TClientDataSet *cdsFilial = nullptr;
    dataset::TClientDataSet *cdsTipoOperac = nullptr;
    dataset::TClientDataSet *cdsTipoFatur = nullptr;
    dataset::TClientDataSet *cdsOperInter = nullptr;
    dataset::TClientDataSet *cdsTipoGest = nullptr;
    dataset::TClientDataSet *cdsImpFili = nullptr;
    dataset::TClientDataSet *cdsFornInsc = nullptr;
    dataset::TClientDataSet *cdsCliInsc = nullptr;
    dataset::TClientDataSet *cdsGrupoFiscal = nullptr;
    dataset::TDataSource *dtsFornecedor = nullptr;
    dataset::TDataSource *dtsCliente = nullptr;
    dataset::TDataSource *dtsFilial = nullptr;
    dataset::TDataSource *dtsTipooperac = nullptr;
    dataset::TDataSource *dtsTipoFatur = nullptr;
    dataset::TDataSource *dtsOperInter = nullptr;
    dataset::TDataSource *dtsTipoGest = nullptr;
    dataset::TDataSource *dtsImpFili = nullptr;
    dataset::TDataSource *dtsFornInsc = nullptr;
    dataset::TDataSource *dtsCliInsc = nullptr;
    dataset::TDataSource *dtsGrupoFiscal = nullptr;
    dataset::TDataSource *dtsImposto = nullptr;
    dataset::TDataSource *dtsEmpresa = nullptr;
    dataset::TDataSource *dtsInscEsta = nullptr;
    dataset::TDataSource *dtsImp = nullptr;
    dataset::TDataSource *dtsGrupoFisc = nullptr;

    // Tab "Operações Interestaduais".
    vcl::TLabel *lblGrupoFiscal = nullptr;
    vcl::TMaskEdit *medGrFiscOpEs = nullptr;
    clientlib::TBtnPesquisa *btpPesqGrupFisc = nullptr;
    QLineEdit *edtNmGrupFisc = nullptr;

    // Tab "Imposto/Filial".
    vcl::TPanel *panImposto = nullptr;
    vcl::TLabel *lblImposto = nullptr;
    vcl::TMaskEdit *medCdImposto = nullptr;
    clientlib::TBtnPesquisa *btpImposto = nullptr;
    QLineEdit *edtNmImposto = nullptr;
    clientlib::TADOIBQuery *qryImposto = nullptr;
    clientlib::TADOIBQuery *qryValidImposto = nullptr;

    // Tab "Imposto/Inscrição Estadual".
    vcl::TPanel *panImpInscEsta = nullptr;
    vcl::TMaskEdit *medCdEmpresa = nullptr;
    clientlib::TBtnPesquisa *btpEmpresa = nullptr;
    QLineEdit *edtNmEmpresa = nullptr;
    vcl::TMaskEdit *medInscEsta = nullptr;
    clientlib::TBtnPesquisa *btpInscEsta = nullptr;
    vcl::TMaskEdit *medImp = nullptr;
    clientlib::TBtnPesquisa *btpImp = nullptr;
    QLineEdit *edtNmImp = nullptr;
    clientlib::TADOIBQuery *qryEmpresa = nullptr;
    clientlib::TADOIBQuery *qryInscEsta = nullptr;
    clientlib::TADOIBQuery *qryImp = nullptr;

    // Tab "Tipo de Gestão Fiscal".
    clientlib::TADOIBQuery *qryGrupoFisc = nullptr;
    clientlib::TADOIBQuery *qryVd_GrupoFiscGrid = nullptr;

    // Tool bar, navigator panel and menus of this screen.
    vcl::TSpeedButton *sbtAutomatico = nullptr;
    vcl::TSpeedButton *sbtReplica = nullptr;
    vcl::TSpeedButton *sbtImportar = nullptr;
    vcl::TLabel *lblNome = nullptr;
    QAction *mnuFornecedor = nullptr;
    QAction *mnuCliente = nullptr;
    QAction *mnuFilial = nullptr;
    QAction *mnuTipoOperac = nullptr;
    QAction *mnuTipoContrato = nullptr;
    QAction *mnuOperInter = nullptr;
    QAction *mnuImpFili = nullptr;
    QAction *mnuImpInscEsta = nullptr;
    QAction *mnuCadAutomatico = nullptr;
    QAction *mnuReplica = nullptr;
    QAction *mnuExportar = nullptr;
    QAction *mnuCobertura = nullptr;
    QAction *mnuHistorico = nullptr;
    QAction *mnuOperacoes = nullptr;
    QAction *mnuImportar = nullptr;
    QAction *mnuSituacaoEm = nullptr;

    // The import preview of a file for the tab on screen, as "Importar planilha..." once the
    // file is chosen and no change is pending (also what the screen's picture opens).
    void importFile(const QString &path);

Q_SIGNALS:
    void loadedChanged(bool loaded);
    // After each refresh of the client's local cache ("FORNECEDOR", ..., "DELETECACHE").
    void localCacheRefreshed(const QString &key);

protected:
    // Handlers of the base screen.
    void FormCreate() override;
    void FormActivate() override;
    bool FormCloseQuery() override;   // pendingchanges.cpp
    void FormClose() override;
    void dtsPadraoStateChange() override;
    void sbtAlterarClick() override;
    void sbtCancelarClick() override;
    void sbtVerificarClick() override;
    void sbtImprimirClick() override;

private:
    // One grid tab of the save protocol: what differs between the members.
    struct GridMember {
        dataset::TClientDataSet *cds = nullptr;
        dataset::TDataSource *dts = nullptr;
        vcl::TDBGrid *grid = nullptr;
        QString saveMethod;
        QString cacheKey;                 // empty: no cache refresh
        std::function<void()> copyContext;   // before posting: tab context into the row
        bool checksBillingType = false;      // SetUpdateTipoFatur before posting
    };
    // A reload the screen makes on its own, and the data set it replaces.
    struct Reload {
        dataset::TClientDataSet *cds = nullptr;
        std::function<void()> run;
    };

    // tabsloading.cpp, loading.cpp
    void buildTabs();
    void buildGridTab(vcl::TTabSheet *tab, vcl::TDBGrid *grid);
    void buildOperInterTab();
    void buildImpFiliTab();
    void buildImpInscEstaTab();
    void buildMenus();
    void PrimeiraCarga();
    void load(dataset::TClientDataSet *cds, const QString &method, const QCborArray &params = {});
    void setLoaded(bool loaded);
    QCborArray inscParams() const;

    // editmode.cpp
    void pgcPadraoChange();
    void HabilitaTSH(dataset::TClientDataSet *cds, const QList<vcl::TTabSheet *> &tabs);
    QList<vcl::TTabSheet *> allTabs() const;
    QList<vcl::TTabSheet *> otherTabs() const;
    QList<QAction *> tabMenus() const;
    void checkActiveTabMenu();
    void selectTabFromMenu(vcl::TTabSheet *tab);
    void setEditPair(bool enabled);
    void setAutomaticPair(bool enabled);
    void setReplicationPair(bool enabled);
    void disableIdleCommands();
    vcl::TSpeedButton *addToolButton(const QString &name, const QString &hint, const QIcon &icon);
    void bindNome(dataset::TDataSource *dts);
    void focusGrupoFiscal(vcl::TDBGrid *grid, dataset::TClientDataSet *cds);
    dataset::TClientDataSet *innerDataSet() const;
    dataset::TDataSource *innerDataSource() const;
    vcl::TDBGrid *innerGrid() const;
    // An edit under way in the inner grid on screen is posted, and so saved: switching the
    // inner tab or opening the replication would leave it unseen, for a reload to drop.
    void postInnerEdit();
    void sbtAutomaticoClick();
    void sbtReplicaClick();
    // What AtualizaQuery reads again after the dialogs.
    QList<Reload> dialogReloads();

    // gridcells.cpp
    void wireGridCells(const GridMember &m);
    // The grids whose group cell shows "code - description"; the state-registration grids
    // show the bare code.
    bool PaintsGroupCells(vcl::TDBGrid *grid) const { return grid != dbgFornInsc && grid != dbgCliInsc; }
    void EditButtonClick(const GridMember &m);
    void ColExit(const GridMember &m);
    void Vd_GrupoFiscal(dataset::TClientDataSet *cds);
    void DrawColumnCell(vcl::TDBGrid *grid, QPainter &painter, const QRect &rect, int col,
                        bool selected, bool focused);
    void loadGruposFiscais(const QString &code);
    // The text a cell of the current record shows where the screen paints it itself;
    // nullopt where the grid's display text stands.
    std::optional<QString> PaintedText(vcl::TDBGrid *grid, int col, bool bareCode) const;

    // reporting.cpp
    void buildReportMenus();
    reports::ReportTable gridReport(vcl::TDBGrid *grid, reports::ReportTable t);
    static reports::ReportTable withRecordCodes(vcl::TDBGrid *grid, reports::ReportTable t);
    void mnuExportarClick();
    void mnuCoberturaClick();

    // history.cpp
    void buildHistoryMenus();
    // Import of a spreadsheet into the tab on screen (importing.cpp).
    void buildImportCommands();
    std::optional<ImportTarget> importTarget();
    void mnuImportarClick();
    // The current row of the active tab as the history names it; nothing when there is none.
    std::optional<RecordRef> currentRecord();
    void mnuHistoricoClick();
    void mnuOperacoesClick();
    // "Situação em…": the active tab as the history describes it; nothing when the tab
    // lacks the tax (and company and registration) it is read by.
    std::optional<SituacaoTab> situacaoTab();
    void mnuSituacaoEmClick();
    // After an undo: the data sets of those tables (all of them when empty) are read again.
    void reloadTables(const QStringList &tables);
    QList<Reload> undoReloads(const QStringList &tables);

    // pendingchanges.cpp
    // Before reloads the user did not ask for: every data set among them holding changes the
    // server has not taken (a refused save leaves them in the change log) is saved or
    // discarded as the user says. False when the user cancels; a failed save aborts.
    bool resolvePending(const QList<Reload> &reloads);
    bool mayLeaveTab();
    QString tabNameOf(dataset::TClientDataSet *cds) const;
    void savePending(dataset::TClientDataSet *cds);

    // saving.cpp
    void wireSaving(const GridMember &m);
    void BeforePost(const GridMember &m);
    void SendChanges(const GridMember &m, bool afterDelete);
    void refreshCache(const QString &key);

    // tab-specific
    void wireImpFili();
    void medCdImpostoEnter();
    // After a search emptied the grid below its filter boxes: a grid that kept the focus
    // (the search button takes none) would not be entered again, so `box` takes it.
    void focusBoxFrom(QWidget *area, QWidget *box);
    void dbgImpFiliEnter();
    void wireImpInscEsta();
    void panImpInscEstaEnter();
    void pgcClienteEnter();
    void pgcClienteChange();
    void wireOperInter();
    void medGrFiscOpEsChange();
    void Vd_GrFiscOpInt();
    void cdsOperInterBeforePost();
    void cdsOperInterAfterPost();
    void cdsOperInterAfterDelete();
    void bindOperInter();
    void showOperInter();
    void wireTipoGest();
    void dtsTipoGestStateChange();
    void dbgTipoGestEditButtonClick();
    void cdsTipoGestBeforePost();
    void cdsTipoGestAfterPost();
    void cdsTipoGestAfterCancel();
    void Vd_GrupoFiscGrid();
    void reloadTipoGestAt(const QString &name);

    QList<GridMember> m_members;
    std::unique_ptr<CodeField> m_vdImposto;   // tab 8
    std::unique_ptr<CodeField> m_vdEmpresa;   // tab 9
    std::unique_ptr<CodeField> m_vdInscEsta;
    std::unique_ptr<CodeField> m_vdImp;
    int m_operInterChangeSuspended = 0;
    // The stored interstate group and its description as last shown: a deletion put back
    // shows them again without a lookup.
    QString m_operInterShownCode;
    QString m_operInterShownDesc;
    bool m_loaded = false;
};

} // namespace fiscal::ger10200
