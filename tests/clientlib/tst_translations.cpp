// What Qt draws itself comes out in Portuguese once the host has loaded Qt's translations:
// no English word on a box, a menu or a dialog.

#include "clientlib/interaction.h"
#include "clientlib/qtinteraction.h"
#include "clientlib/translations.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QTemporaryDir>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QTest>
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

// Enter alone gives up: "Não" in a yes-or-no question, the way out of a question of one
// action; with more choices, the first ("Gravar").
TEST(Translations, EnterAloneAnswersTheSafeWay)
{
    const struct {
        const char *what;
        QStringList choices;   // empty: a yes-or-no message
        int expected;
    } cases[] = {
        {"yes or no", {}, mrNo},
        {"one action", {QStringLiteral("Desativar"), QStringLiteral("Cancelar")}, 1},
        {"three choices", {QStringLiteral("Gravar"), QStringLiteral("Descartar"), QStringLiteral("Cancelar")}, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        QTimer::singleShot(0, [] {
            QWidget *box = QApplication::activeModalWidget();
            ASSERT_TRUE(box);
            QTest::keyClick(box, Qt::Key_Return);
        });
        QtInteraction real;
        const int answer = c.choices.isEmpty()
            ? real.message(mtConfirmation, QString(), QStringLiteral("Confirma operação?"), mbYesNo, nullptr)
            : real.ask(mtConfirmation, QString(), QStringLiteral("Pergunta"), c.choices, nullptr);
        EXPECT_EQ(answer, c.expected);
    }
}

// A name typed without an extension gets the chosen filter's, and the dialog asks about
// replacing the file of that name (in Portuguese) before giving it back.
TEST(Translations, TheSaveDialogAddsTheFiltersExtensionBeforeAskingToReplace)
{
    ASSERT_TRUE(installQtTranslations(*qApp)) << "qtbase_pt_BR not installed";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QFile old(dir.filePath(QStringLiteral("clientes.xlsx")));
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.close();
    const QStringList filters{QStringLiteral("Planilha do Excel (*.xlsx)"), QStringLiteral("Texto separado (*.csv)")};
    QFile dotted(dir.filePath(QStringLiteral("clientes.dez.xlsx")));
    ASSERT_TRUE(dotted.open(QIODevice::WriteOnly));
    dotted.close();
    const struct {
        const char *what;
        int filter;
        const char *typed;
        const char *written;
        bool asked;
    } cases[] = {
        {"an existing spreadsheet", 0, "clientes", "clientes.xlsx", true},
        {"a new text file", 1, "clientes", "clientes.csv", false},
        // The dialog leaves a name with a dot as it is; the file written is still asked about.
        {"an existing spreadsheet, a dot in its name", 0, "clientes.dez", "clientes.dez.xlsx", true},
        {"a known extension typed over the filter's", 0, "clientes.csv", "clientes.csv", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        QStringList question;
        QTimer::singleShot(0, [&] {
            auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            ASSERT_TRUE(dialog);
            dialog->selectNameFilter(filters.at(c.filter));
            Q_EMIT dialog->filterSelected(filters.at(c.filter));
            dialog->selectFile(dir.filePath(QString::fromLatin1(c.typed)));
            QTimer::singleShot(0, [&] {
                auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
                if (!box)
                    return;
                question = {box->text()};
                for (QAbstractButton *b : box->findChildren<QAbstractButton *>())
                    if (b->text().remove(QLatin1Char('&')) == QStringLiteral("Sim"))
                        b->click();
            });
            static_cast<QDialog *>(dialog)->accept();   // the question, if any, comes next
        });
        QString filter = filters.first();
        QtInteraction real;
        const QString chosen = real.chooseSaveFile(QStringLiteral("Exportar"), QStringLiteral("x.xlsx"), filters, filter, nullptr);
        EXPECT_EQ(chosen, dir.filePath(QString::fromLatin1(c.written)));
        EXPECT_EQ(filter, filters.at(c.filter));
        EXPECT_EQ(question.size(), c.asked ? 1 : 0) << question.join(QLatin1Char(',')).toStdString();
        if (c.asked) {
            EXPECT_TRUE(question.value(0).contains(QString::fromLatin1(c.written))) << question.value(0).toStdString();
        }
    }
}

} // namespace
