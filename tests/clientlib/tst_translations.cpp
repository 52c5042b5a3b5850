// What Qt draws itself comes out in Portuguese once the host has loaded Qt's translations:
// no English word on a box, a menu or a dialog.

#include "clientlib/interaction.h"
#include "clientlib/qtinteraction.h"
#include "clientlib/translations.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QTimer>
#include "qtprint.h"

#include <gtest/gtest.h>

using namespace fiscal::clientlib;

namespace {

QStringList buttonTexts(QWidget *w)
{
    QStringList texts;
    for (QAbstractButton *b : w->findChildren<QAbstractButton *>())
        texts << b->text().remove(QLatin1Char('&'));
    return texts;
}

QStringList actionTexts(QMenu *menu)
{
    QStringList texts;
    for (QAction *a : menu->actions())
        texts << a->text().remove(QLatin1Char('&')).section(QLatin1Char('\t'), 0, 0);
    return texts;
}

TEST(Translations, QtsOwnTextsArePortuguese)
{
    ASSERT_TRUE(installQtTranslations(*qApp)) << "qtbase_pt_BR not installed";

    // The confirmation box the screens ask with, answered No by a click.
    QStringList confirm;
    QTimer::singleShot(0, [&] {
        QWidget *box = QApplication::activeModalWidget();
        ASSERT_TRUE(box);
        confirm = buttonTexts(box);
        for (QAbstractButton *b : box->findChildren<QAbstractButton *>())
            if (b->text().remove(QLatin1Char('&')) == QStringLiteral("Não"))
                b->click();
    });
    QtInteraction real;
    EXPECT_EQ(real.message(mtConfirmation, QString(), QStringLiteral("Confirma operação?"), mbYesNo, nullptr), mrNo);
    EXPECT_TRUE(confirm.contains(QStringLiteral("Sim")) && confirm.contains(QStringLiteral("Não")))
        << confirm.join(QLatin1Char(',')).toStdString();

    QMessageBox standard(QMessageBox::Question, QString(), QString(), QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
    QProgressDialog progress;
    QDialogButtonBox buttons(QDialogButtonBox::Save | QDialogButtonBox::Open | QDialogButtonBox::Close);
    QLineEdit edit(QStringLiteral("texto"));
    std::unique_ptr<QMenu> menu(edit.createStandardContextMenu());
    const struct { const char *what; QStringList shown; QStringList expected; } cases[] = {
        {"message box", buttonTexts(&standard), {QStringLiteral("Sim"), QStringLiteral("Não"), QStringLiteral("Cancelar")}},
        {"progress", buttonTexts(&progress), {QStringLiteral("Cancelar")}},
        {"dialog buttons", buttonTexts(&buttons), {QStringLiteral("Salvar"), QStringLiteral("Abrir"), QStringLiteral("Fechar")}},
        {"text box menu", actionTexts(menu.get()), {QStringLiteral("Desfazer"), QStringLiteral("Copiar"), QStringLiteral("Colar"), QStringLiteral("Selecionar tudo")}},
    };
    for (const auto &c : cases) {
        for (const QString &e : c.expected)
            EXPECT_TRUE(c.shown.contains(e)) << c.what << ": " << e.toStdString() << " not in " << c.shown.join(QLatin1Char(',')).toStdString();
    }
}

} // namespace
