// The search lists of the main screen's code boxes and of the management-type cell: the
// columns a user sees (titles, least widths, hidden fields) and the rows they offer.

#include "modulefixture.h"

#include "clientlib/btnpesquisa.h"
#include "dataset/clientdataset.h"
#include "vcl/dbgrid.h"
#include "vcl/maskedit.h"
#include "vcl/pagecontrol.h"

#include <QApplication>
#include <QRegularExpression>
#include <QTest>

namespace fiscal::test {
namespace {

using clientlib::Answer;
using clientlib::Shown;

class SearchListTest : public OpenScreenTest {
protected:
    // Opens a list, closes it without a choice and returns what it showed.
    Shown showList(const std::function<void()> &open)
    {
        script->clear();
        script->push(Answer::cancel());
        open();
        QApplication::processEvents();
        for (const Shown &s : script->shown())
            if (s.kind == Shown::ChooseOne)
                return s;
        ADD_FAILURE() << "no list: " << script->messages().join('\n').toStdString();
        return {};
    }
};

TEST_F(SearchListTest, ListsShowTitledColumnsWithoutHiddenFields)
{
    const auto editTipoGest = [&] {
        clickTab(frm->pgcPadrao, frm->tshTipoGest);
        focusCell(frm->dbgTipoGest, 0, QStringLiteral("CDGRUPOFISC"));
        clickButton(frm->sbtAlterar);
        clickButton(frm->dbgTipoGest->EditButton());
    };
    const struct {
        const char *what;
        std::function<void()> open;
        QStringList fields, titles;
        QList<int> widths;
        const char *rows;   // SQL counting the rows the list must offer
    } lists[] = {
        {"tax per branch", [&] { clickTab(frm->pgcPadrao, frm->tshImpFili); clickButton(frm->btpImposto); },
         {"CDIMPOSTO", "NMIMPOSTO"}, {"Código", "Nome"}, {2, 30}, "SELECT COUNT(*) FROM IMPOSTO"},
        {"company", [&] { clickTab(frm->pgcPadrao, frm->tshImpInscEsta); clickButton(frm->btpEmpresa); },
         {"CDEMPRESA", "NMEMPRESA"}, {"Código", "Nome"}, {2, 40}, "SELECT COUNT(*) FROM EMPRESA"},
        {"tax per registration", [&] { clickTab(frm->pgcPadrao, frm->tshImpInscEsta); clickButton(frm->btpImp); },
         {"CDIMPOSTO", "NMIMPOSTO"}, {"Código", "Nome"}, {2, 30}, "SELECT COUNT(*) FROM IMPOSTO"},
        {"management-type group", editTipoGest,
         {"CDGRUPOFISC", "DSGRUPOFISC"}, {"Código", "Descrição"}, {3, 30}, "SELECT COUNT(*) FROM GRUPOFISCAL"},
    };
    for (const auto &l : lists) {
        SCOPED_TRACE(l.what);
        const Shown s = showList(l.open);
        EXPECT_EQ(s.table.fieldNames, l.fields);
        EXPECT_EQ(s.table.titles, l.titles);
        EXPECT_EQ(s.table.widths, l.widths);
        EXPECT_EQ(s.table.rows.size(), db->count(l.rows));
        clickButton(frm->sbtCancelar);
    }
}

TEST_F(SearchListTest, RegistrationListShowsTheCompanysRegistrationsWithFormattedNumbers)
{
    // Company 03 holds a company's and a person's registration; two more without a number
    // or without a person type.
    db->exec("INSERT INTO INSCRESTAD (CDEMPRESA, CDINSCESTA, NRINSJURIEST, NMREPRINSEST, SGESTADO, IDTPIJURIEST) "
             "VALUES ('03', 'SEM-NUMERO', NULL, 'Sem número', 'SP', 'J'), "
             "('03', 'SEM-TIPO', '12345678000195', 'Sem tipo', 'SP', NULL)");
    clickTab(frm->pgcPadrao, frm->tshImpInscEsta);
    frm->medCdEmpresa->setText(QStringLiteral("03"));
    const Shown s = showList([&] { clickButton(frm->btpInscEsta); });
    EXPECT_EQ(s.table.titles, (QStringList{"Código", "Inscrição", "Representante Legal", "UF"}));
    EXPECT_EQ(s.table.fieldNames.indexOf(QStringLiteral("IDTPIJURIEST")), -1);

    const auto stored = db->query("SELECT CDINSCESTA, NRINSJURIEST, IDTPIJURIEST FROM INSCRESTAD "
                                  "WHERE CDEMPRESA = '03' ORDER BY CDINSCESTA");
    ASSERT_EQ(s.table.rows.size(), qsizetype(stored.size())) << "only the registrations of the company in the box";
    const QRegularExpression cnpj(QStringLiteral("^\\d{2}\\.\\d{3}\\.\\d{3}/\\d{4}-\\d{2}$"));
    const QRegularExpression cpf(QStringLiteral("^\\d{3}\\.\\d{3}\\.\\d{3}-\\d{2}$"));
    int persons = 0;
    for (qsizetype r = 0; r < s.table.rows.size(); ++r) {
        const QString code = QString::fromStdString(*stored[r][0]);
        const QString number = QString::fromStdString(stored[r][1].value_or(""));
        const QString type = QString::fromStdString(stored[r][2].value_or(""));
        const QString shown = s.table.rows[r].at(1);
        SCOPED_TRACE(code.toStdString());
        EXPECT_EQ(s.table.rows[r].at(0), code);
        if (number.isEmpty() || type.isEmpty()) {
            EXPECT_EQ(shown, number) << "nothing to format with";
            continue;
        }
        EXPECT_EQ(QString(shown).remove(QRegularExpression(QStringLiteral("\\D"))), number);
        EXPECT_TRUE((type == QLatin1String("F") ? cpf : cnpj).match(shown).hasMatch()) << shown.toStdString();
        persons += type == QLatin1String("F");
    }
    EXPECT_GT(persons, 0);
}

// The buttons take no focus, so a search never enters the box: one that puts another tax,
// company or registration there empties the grid read for the old one, as entering the box
// would. Picking what the box already holds leaves the grid.
TEST_F(SearchListTest, ASearchThatChangesTheFilterEmptiesTheGridBelow)
{
    const auto reg = db->query("SELECT CDEMPRESA, CDINSCESTA FROM INSCRESTAD ORDER BY CDEMPRESA, CDINSCESTA");
    const auto taxes = db->query("SELECT CDIMPOSTO FROM IMPOSTO ORDER BY CDIMPOSTO");
    ASSERT_FALSE(reg.empty());
    ASSERT_GE(taxes.size(), 2u);
    const QString company = QString::fromStdString(*reg.front()[0]);
    const QString otherCompany = QString::fromStdString(
        db->scalar("SELECT MIN(CDEMPRESA) FROM EMPRESA WHERE CDEMPRESA <> $1", {company.toStdString()}).value_or(""));
    ASSERT_FALSE(otherCompany.isEmpty());
    const QString firstTax = QString::fromStdString(*taxes[0][0]), otherTax = QString::fromStdString(*taxes[1][0]);
    const auto byBranch = [&] {
        clickTab(frm->pgcPadrao, frm->tshImpFili);
        frm->medCdImposto->setFocus(Qt::TabFocusReason);   // from the grid, if it was there
        frm->medCdImposto->setText(firstTax);
        frm->dbgImpFili->setFocus(Qt::TabFocusReason);
        QApplication::processEvents();
    };
    const auto byRegistration = [&] {
        clickTab(frm->pgcPadrao, frm->tshImpInscEsta);
        frm->medCdEmpresa->setFocus(Qt::TabFocusReason);
        frm->medCdEmpresa->setText(company);
        frm->medInscEsta->setText(QString::fromStdString(*reg.front()[1]));
        frm->medImp->setText(firstTax);
        frm->dbgFornInsc->setFocus(Qt::TabFocusReason);
        QApplication::processEvents();
    };
    const struct {
        const char *what;
        std::function<void()> load;
        clientlib::TBtnPesquisa *button;
        dataset::TClientDataSet *grid;
        vcl::TDBGrid *view;
        const char *field;
        QString picked;
        bool emptied;
    } cases[] = {
        {"another tax per branch", byBranch, frm->btpImposto, frm->cdsImpFili, frm->dbgImpFili, "CDIMPOSTO", otherTax, true},
        {"the same tax per branch", byBranch, frm->btpImposto, frm->cdsImpFili, frm->dbgImpFili, "CDIMPOSTO", firstTax, false},
        {"another tax per registration", byRegistration, frm->btpImp, frm->cdsFornInsc, frm->dbgFornInsc, "CDIMPOSTO", otherTax, true},
        {"another company", byRegistration, frm->btpEmpresa, frm->cdsFornInsc, frm->dbgFornInsc, "CDEMPRESA", otherCompany, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        c.load();
        ASSERT_TRUE(c.grid->Active()) << script->messages().join('\n').toStdString();
        script->clear();
        script->push(Answer::pickRow(QString::fromLatin1(c.field), c.picked));
        clickButton(c.button);
        QApplication::processEvents();
        EXPECT_TRUE(script->problems().isEmpty()) << script->problems().join('\n').toStdString();
        EXPECT_EQ(c.grid->Active(), !c.emptied);
        // The grid had the focus when the button was clicked: a click into it reads it again,
        // for what was picked, or says what is missing (another company has emptied the
        // registration), never nothing.
        script->clear();
        QTest::mouseClick(c.view->viewport(), Qt::LeftButton, {}, QPoint(5, 5));
        QApplication::processEvents();
        if (std::string_view(c.field) == "CDEMPRESA") {
            EXPECT_FALSE(c.grid->Active());
            EXPECT_EQ(script->messages().size(), 1) << "the grid clicked stayed empty without a word";
            continue;
        }
        ASSERT_TRUE(c.grid->Active()) << "the grid clicked stayed empty";
        if (!c.grid->IsEmpty()) {
            EXPECT_EQ(c.grid->FieldByName(QString::fromLatin1(c.field))->AsString().trimmed(), c.picked.trimmed());
        }
    }
}

} // namespace
} // namespace fiscal::test
