// The code-field pattern on a real query against a fresh demo database: optional on exit,
// mandatory on confirm, Ajusta before the lookup, focus back in the box on failure, the
// name box, and the change wiring.

#include "Pkg_Ger10200/shared/codefield.h"

#include "modulefixture.h"

#include "clientlib/adoibquery.h"
#include "clientlib/dbgeral.h"
#include "clientlib/interaction.h"
#include "clientlib/messages.h"
#include "scriptedinteraction.h"
#include "clientlib/settings.h"
#include "dataset/abort.h"
#include "vcl/controls.h"
#include "vcl/maskedit.h"

#include <QApplication>
#include <QLineEdit>
#include <QTest>
#include <QVBoxLayout>
#include <QWidget>

namespace fiscal::ger10200 {
namespace {

using clientlib::ScriptedInteraction;

class CodeFieldTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        db = test::TestDb::create(test::Backend::Sqlite);
        clientlib::Settings::instance().setDatabase(QString::fromStdString(db->url()));
        clientlib::dtmDBGeral().close();
        auto s = std::make_unique<ScriptedInteraction>();
        script = s.get();
        scope = std::make_unique<clientlib::InteractionScope>(std::move(s));

        messages.setStrings({QStringLiteral("Imp_Inf|Imposto deve ser informado."),
                             QStringLiteral("Imp_Cad|Imposto não cadastrado.")});
        query.setSQL(QStringLiteral("SELECT CDIMPOSTO, NMIMPOSTO FROM IMPOSTO WHERE (CDIMPOSTO = :P_CDIMPOSTO)"));
        box = new vcl::TMaskEdit(&window);
        box->setEditMask(QStringLiteral("99;0; "));
        other = new vcl::TMaskEdit(&window);
        dependent = new vcl::TMaskEdit(&window);
        name = new QLineEdit(&window);
        auto *lay = new QVBoxLayout(&window);
        lay->addWidget(box);
        lay->addWidget(other);
        lay->addWidget(dependent);
        lay->addWidget(name);
        field = std::make_unique<CodeField>(box, name, &messages,
            CodeFieldSpec{2, QStringLiteral("Imp_Inf"), QStringLiteral("Imp_Cad")},
            [this](const QString &code) -> std::optional<QString> {
                ++lookups;
                query.Close();
                query.ParamByName(QStringLiteral("P_CDIMPOSTO")).setAsString(code);
                query.Open();
                if (query.IsEmpty())
                    return std::nullopt;
                return query.FieldByName(QStringLiteral("NMIMPOSTO"))->AsString();
            });
        field->addDependent(dependent);
        field->wire();
        window.show();
        window.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    }

    void TearDown() override
    {
        field.reset();
        scope.reset();
        clientlib::dtmDBGeral().close();
    }

    QString taxName(const QString &code) const
    {
        return QString::fromStdString(
            db->scalar("SELECT NMIMPOSTO FROM IMPOSTO WHERE CDIMPOSTO = $1", {code.toStdString()}).value_or(""));
    }

    std::unique_ptr<test::TestDb> db;
    ScriptedInteraction *script = nullptr;
    std::unique_ptr<clientlib::InteractionScope> scope;
    clientlib::TMessages messages;
    clientlib::TADOIBQuery query;
    QWidget window;
    vcl::TMaskEdit *box = nullptr;
    vcl::TMaskEdit *other = nullptr;
    vcl::TMaskEdit *dependent = nullptr;
    QLineEdit *name = nullptr;
    std::unique_ptr<CodeField> field;
    int lookups = 0;
};

TEST_F(CodeFieldTest, ValidateFollowsTheCodeAndTheMandatoryFlag)
{
    const QString firstTax = QString::fromStdString(db->scalar("SELECT MIN(CDIMPOSTO) FROM IMPOSTO").value());
    ASSERT_EQ(firstTax, QStringLiteral("01"));
    const struct {
        const char *typed;
        bool mandatory;
        bool found;
        const char *message;     // nullptr: no box
        const char *boxAfter;
        bool looksUp;
    } cases[] = {
        {"", false, false, nullptr, "", false},
        {"", true, false, "Imposto deve ser informado.", "", false},
        {"1", false, true, nullptr, "01", true},
        {"1", true, true, nullptr, "01", true},
        {"01", true, true, nullptr, "01", true},
        {"98", false, false, "Imposto não cadastrado.", "98", true},
        {"98", true, false, "Imposto não cadastrado.", "98", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.typed) + (c.mandatory ? " mandatory" : " optional"));
        other->setFocus();
        QApplication::processEvents();
        box->setText(QString::fromLatin1(c.typed));
        name->setText(QStringLiteral("stale"));
        script->clear();
        lookups = 0;
        bool aborted = false;
        bool result = false;
        try {
            result = field->Validate(c.mandatory);
        } catch (const dataset::EAbort &) {
            aborted = true;
        }
        QApplication::processEvents();
        EXPECT_EQ(box->Text(), QString::fromLatin1(c.boxAfter));
        EXPECT_EQ(lookups > 0, c.looksUp);
        if (c.message) {
            EXPECT_TRUE(aborted);
            EXPECT_EQ(script->messages(), QStringList{QString::fromUtf8(c.message)});
            EXPECT_EQ(QApplication::focusWidget(), box) << "the user is put back in the wrong box";
        } else {
            EXPECT_FALSE(aborted);
            EXPECT_TRUE(script->messages().isEmpty());
            EXPECT_EQ(result, c.found);
            EXPECT_EQ(QApplication::focusWidget(), other);
        }
        if (c.found) {
            EXPECT_EQ(name->text(), taxName(QString::fromLatin1(c.boxAfter)));
        }
    }
}

TEST_F(CodeFieldTest, LeavingTheBoxChecksItOptionallyAndKeepsTheFocusOnFailure)
{
    box->setFocus();
    QApplication::processEvents();
    QTest::keyClick(box, Qt::Key_Home);
    QTest::keyClicks(box, QStringLiteral("1"));
    other->setFocus();                    // leaving the box
    QApplication::processEvents();
    EXPECT_EQ(box->Text(), QStringLiteral("01"));
    EXPECT_EQ(name->text(), taxName(QStringLiteral("01")));
    EXPECT_EQ(QApplication::focusWidget(), other);

    box->setFocus();
    QApplication::processEvents();
    box->setText(QStringLiteral("98"));
    other->setFocus();
    QApplication::processEvents();
    EXPECT_EQ(script->messages(), QStringList{QStringLiteral("Imposto não cadastrado.")});
    EXPECT_EQ(QApplication::focusWidget(), box);

    // An empty box may be left without a word.
    script->clear();
    box->setText(QString());
    other->setFocus();
    QApplication::processEvents();
    EXPECT_TRUE(script->messages().isEmpty());
    EXPECT_EQ(QApplication::focusWidget(), other);
}

TEST_F(CodeFieldTest, ChangingTheCodeEmptiesNameAndDependentsButASearchKeepsItsName)
{
    name->setText(QStringLiteral("ICMS"));
    dependent->setText(QStringLiteral("123"));
    box->setText(QStringLiteral("02"));
    EXPECT_TRUE(name->text().isEmpty());
    EXPECT_TRUE(dependent->Text().isEmpty());

    dependent->setText(QStringLiteral("123"));
    field->setFromSearch(QStringLiteral("03"), QStringLiteral("ISS"));
    EXPECT_EQ(box->Text(), QStringLiteral("03"));
    EXPECT_EQ(name->text(), QStringLiteral("ISS"));
    EXPECT_TRUE(dependent->Text().isEmpty());
}

TEST(ListChoiceTest, ListButtonFollowsTheListRadioAndConfirmNeedsASelection)
{
    auto s = std::make_unique<ScriptedInteraction>();
    ScriptedInteraction *script = s.get();
    clientlib::InteractionScope scope(std::move(s));
    clientlib::TMessages messages;
    messages.setStrings({QStringLiteral("Sel_Inf|Selecione ao menos um registro.")});

    QWidget w;
    auto *all = new vcl::TRadioButton(QStringLiteral("Todos"), &w);
    auto *list = new vcl::TRadioButton(QStringLiteral("Lista"), &w);
    auto *button = new vcl::TSpeedButton(&w);
    auto *lay = new QVBoxLayout(&w);
    lay->addWidget(all);
    lay->addWidget(list);
    lay->addWidget(button);
    all->setChecked(true);
    ListChoice choice(all, list, button, true);
    choice.wire();
    w.show();
    EXPECT_FALSE(button->isEnabled());

    QTest::mouseClick(list, Qt::LeftButton);
    EXPECT_TRUE(list->isChecked());
    EXPECT_TRUE(button->isEnabled());

    choice.setSelection(QStringLiteral("'001'"));
    QTest::mouseClick(all, Qt::LeftButton);
    EXPECT_FALSE(button->isEnabled());
    EXPECT_TRUE(choice.selection().isEmpty()) << "a click empties the selection";

    choice.confirm(&messages, QStringLiteral("Sel_Inf"));
    EXPECT_EQ(choice.selection(), QStringLiteral("T"));

    QTest::mouseClick(list, Qt::LeftButton);
    EXPECT_THROW(choice.confirm(&messages, QStringLiteral("Sel_Inf")), dataset::EAbort);
    EXPECT_EQ(script->messages(), QStringList{QStringLiteral("Selecione ao menos um registro.")});

    // What an earlier "all" left, or anything else the list never writes, is no choice.
    for (const char *left : {"T", "X"}) {
        choice.setSelection(QString::fromLatin1(left));
        EXPECT_THROW(choice.confirm(&messages, QStringLiteral("Sel_Inf")), dataset::EAbort) << left;
    }

    choice.setSelection(QStringLiteral("'001','014'"));
    EXPECT_NO_THROW(choice.confirm(&messages, QStringLiteral("Sel_Inf")));
    EXPECT_EQ(choice.selection(), QStringLiteral("'001','014'"));
}

} // namespace
} // namespace fiscal::ger10200
