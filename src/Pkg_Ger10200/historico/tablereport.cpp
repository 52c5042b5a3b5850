#include "Pkg_Ger10200/historico/widgets_p.h"

#include "Pkg_Ger10200/shared/reportprompts.h"
#include "reports/printflow.h"
#include "reports/reporttable.h"
#include "vcl/guard.h"
#include "vcl/toolbutton.h"

#include <QDialog>
#include <QShortcut>

namespace fiscal::ger10200::historico {

reports::ReportTable tableReport(const QDialog *window, const QAbstractItemModel &rows)
{
    reports::ReportTable t = reports::reportFromModel(rows);
    t.title = window->windowTitle();
    t.screenCode = QStringLiteral("GER10204");
    return t;
}

ReportButtons reportButtons(QDialog *window, std::function<reports::ReportTable()> report)
{
    ReportButtons b;
    b.print = vcl::newToolButton(window, "sbtImprimir", QStringLiteral("Imprimir"), QStyle::SP_FileDialogDetailedView);
    b.exportTo = vcl::newToolButton(window, "sbtExportar", QStringLiteral("Exportar..."), QStyle::SP_DialogSaveButton);
    QObject::connect(b.print, &QToolButton::clicked, window, [window, report] {
        vcl::guarded([&] { reports::previewReport(report(), window, reportPrompts()); });
    });
    QObject::connect(b.exportTo, &QToolButton::clicked, window, [window, report] {
        vcl::guarded([&] { reports::exportReport(report(), window, reportPrompts()); });
    });
    new QShortcut(QKeySequence::Print, window, [print = b.print] { print->click(); });
    return b;
}

} // namespace fiscal::ger10200::historico
