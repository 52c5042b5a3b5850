// What the host may draw of this module without a display (clientlib/screentargets.h): the
// main screen's tabs, the dialogs its menu opens and the windows it opens on their own.

#include "Pkg_Ger10200/mainscreen/frmparamgrupfiscal.h"

#include "clientlib/screentargets.h"
#include "vcl/controls.h"
#include "vcl/pagecontrol.h"

#include "dataset/clientdataset.h"

#include <QAction>
#include <QFile>
#include <QTemporaryDir>

namespace fiscal::ger10200 {

namespace {

using clientlib::ScreenTarget;
using Command = QAction *TfrmParamGrupFiscal::*;

TfrmParamGrupFiscal *mainScreen(QWidget &screen)
{
    return qobject_cast<TfrmParamGrupFiscal *>(&screen);
}

// Runs a command of the main screen's menu, as a click on it would; a command the tab in
// front does not offer is refused.
std::function<QString(QWidget &)> command(Command action)
{
    return [action](QWidget &screen) -> QString {
        TfrmParamGrupFiscal *main = mainScreen(screen);
        if (!main)
            return QStringLiteral("a tela aberta não é a de parâmetros de grupo fiscal");
        QAction *a = main->*action;
        if (!a->isEnabled())
            return QStringLiteral("o comando \"%1\" não está disponível nesta aba").arg(a->text().remove(QLatin1Char('&')));
        a->trigger();
        return {};
    };
}

QString showTab(QWidget &screen, int tab)
{
    TfrmParamGrupFiscal *main = mainScreen(screen);
    vcl::TPageControl *pages = main ? main->pgcPadrao : nullptr;
    if (!pages || tab < 1 || tab > pages->count())
        return QStringLiteral("a tela não tem a aba %1").arg(tab);
    if (!pages->isTabEnabled(tab - 1))
        return QStringLiteral("a aba %1 (%2) não está disponível").arg(tab).arg(pages->tabText(tab - 1));
    // As a click on the tab: the screen runs its own tab-change handling.
    pages->setCurrentIndex(tab - 1);
    return {};
}

QString help(QWidget &screen)
{
    TfrmParamGrupFiscal *main = mainScreen(screen);
    if (!main)
        return QStringLiteral("a tela aberta não é a de parâmetros de grupo fiscal");
    main->sbtAjuda->click();
    return {};
}

// The import preview of a small file made from the suppliers on screen: lines that change,
// one already so, and one of each kind of error, as a consultant's spreadsheet would have.
QString importPreview(QWidget &screen)
{
    TfrmParamGrupFiscal *main = mainScreen(screen);
    if (!main || !main->cdsFornecedor->Active() || main->cdsFornecedor->rowCount() < 4)
        return QStringLiteral("a aba de fornecedores não tem registros para a planilha de exemplo");
    dataset::TClientDataSet *cds = main->cdsFornecedor;
    const int doc = cds->FieldByName(QStringLiteral("NRINSJURFORN"))->Index();
    const int group = cds->FieldByName(QStringLiteral("CDGRUPOFISC"))->Index();
    QString csv = QStringLiteral("CNPJ/CPF;Grupo Fiscal\n");
    for (int r = 0; r < 4; ++r)
        csv += cds->valueAt(r, doc).value_or(QString()) + QLatin1Char(';')
            + (r == 3 ? cds->valueAt(r, group).value_or(QStringLiteral("001")) : QStringLiteral("004")) + QLatin1Char('\n');
    csv += QStringLiteral("12.345.678/0001-00;004\n");                        // wrong check digits
    csv += cds->valueAt(4 % cds->rowCount(), doc).value_or(QString()) + QStringLiteral(";999\n");   // no such group
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("grupos-fornecedores.csv")));
    if (!dir.isValid() || !file.open(QIODevice::WriteOnly) || file.write(csv.toUtf8()) < 0)
        return QStringLiteral("não foi possível gravar a planilha de exemplo");
    file.close();
    main->importFile(file.fileName());
    return {};
}

const clientlib::ScreenTargets &targets()
{
    static const clientlib::ScreenTargets t{
        showTab,
        {
            // The registration dialog from the suppliers' tab; per tax and registration from
            // the last tab, as replication.
            ScreenTarget{QStringLiteral("automatico"), 1, command(&TfrmParamGrupFiscal::mnuCadAutomatico), {}},
            ScreenTarget{QStringLiteral("replica"), 9, command(&TfrmParamGrupFiscal::mnuReplica), {}},
            ScreenTarget{QStringLiteral("impinscesta"), 9, command(&TfrmParamGrupFiscal::mnuCadAutomatico), {}},
            ScreenTarget{QStringLiteral("historico"), 1, command(&TfrmParamGrupFiscal::mnuHistorico), {}},
            ScreenTarget{QStringLiteral("operacoes"), 1, command(&TfrmParamGrupFiscal::mnuOperacoes), {}},
            ScreenTarget{QStringLiteral("situacao"), 2, command(&TfrmParamGrupFiscal::mnuSituacaoEm), {}},
            ScreenTarget{QStringLiteral("importar"), 1, importPreview, {}},
        },
        {
            ScreenTarget{QStringLiteral("cobertura"), 0, command(&TfrmParamGrupFiscal::mnuCobertura),
                         QStringLiteral("frmCobertura")},
            ScreenTarget{QStringLiteral("ajuda"), 0, help, QStringLiteral("frmAjuda")},
        },
    };
    return t;
}

} // namespace

} // namespace fiscal::ger10200

extern "C" Q_DECL_EXPORT const fiscal::clientlib::ScreenTargets *ScreenTargets()
{
    return &fiscal::ger10200::targets();
}
