// The automatic registration by tax and state registration, opened from the main screen's
// "Imposto/Inscrição Estadual" tab as a user opens it, against a real server: the opening
// state, the selection panels and their lists, the checks in their order, the question,
// the call with the database read back, and the reload of the tab after the dialog.

#include "modulefixture.h"

#include "protocol/objects.h"
#include "Pkg_Ger10200/cadastro/frmcadautomatico.h"
#include "Pkg_Ger10200/cadastroinscricao/frmcadautoimpinscesta.h"
#include "Pkg_Ger10200/module.h"
#include "Pkg_Ger10200/serverlink/netremoteobject.h"
#include "Pkg_Ger10200/shared/preview.h"
#include "clientlib/btnpesquisa.h"
#include "clientlib/waitanimation.h"
#include "dataset/clientdataset.h"
#include "vcl/containers.h"
#include "vcl/controls.h"
#include "vcl/edit.h"
#include "vcl/maskedit.h"
#include "vcl/pagecontrol.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpression>
#include <QTest>

#include <tuple>

namespace fiscal::test {
namespace {

using clientlib::Answer;
using clientlib::Shown;
using D = ger10200::TfrmCadAutoImpInscEsta;

const QString kTitle = QStringLiteral("Cadastramento Automático Imposto/Inscrição Estadual");

// Every (company, registration, client) for tax 01 with its group; "" where no row is.
const std::string kClientGroups =
    "SELECT i.CDEMPRESA || '/' || i.CDINSCESTA || '/' || c.CDCLIENTE, p.CDGRUPOFISC"
    "  FROM INSCRESTAD i CROSS JOIN CLIENTE c"
    "  LEFT JOIN GRFISIMPIECLIE p ON p.CDIMPOSTO = '01' AND p.CDEMPRESA = i.CDEMPRESA"
    "   AND p.CDINSCESTA = i.CDINSCESTA AND p.CDCLIENTE = c.CDCLIENTE";
const std::string kSupplierGroups =
    "SELECT i.CDEMPRESA || '/' || i.CDINSCESTA || '/' || f.CDFORNECED, p.CDGRUPOFISC"
    "  FROM INSCRESTAD i CROSS JOIN FORNECEDOR f"
    "  LEFT JOIN GRFISIMPIEFORN p ON p.CDIMPOSTO = '01' AND p.CDEMPRESA = i.CDEMPRESA"
    "   AND p.CDINSCESTA = i.CDINSCESTA AND p.CDFORNECED = f.CDFORNECED";

class CadAutoImpInscEstaTest : public ModuleTest {
protected:
    void SetUp() override
    {
        ModuleTest::SetUp();
        frm = openScreen();
        ASSERT_TRUE(frm);
        clickTab(frm->pgcPadrao, frm->tshImpInscEsta);
        clearCalls();
    }

    bool withDialog(const std::function<void(D &)> &drive)
    {
        return runDialog<D>(drive, [this] { clickButton(frm->sbtAutomatico); }, frm);
    }

    // What a search list offers and writes: the keys picked from it.
    void pick(QAbstractButton *listButton, const QStringList &keys)
    {
        script->push(Answer::pickKeys(keys));
        clickButton(listButton);
    }

    // Tax 01 and group 007 typed, each box left, as a user fills them.
    void fillTaxAndGroup(D &d, const QString &group = QStringLiteral("7"))
    {
        typeInto(d.medImposto, QStringLiteral("1"));
        typeInto(d.edtGrupoFiscal, group);
        d.rbtTodasInscEsta->setFocus(Qt::TabFocusReason);
        QApplication::processEvents();
    }

    QList<QStringList> registrations() const
    {
        QList<QStringList> out;
        for (const RecordedCall &c : callsOf(QStringLiteral("CadAutoImpInscEsta")))
            out << texts(c.params);
        return out;
    }

    QStringList key(const std::string &sql, int row = 0) const
    {
        const auto rows = db->query(sql);
        return rows.size() > size_t(row) ? QStringList{QString::fromStdString(rows[row][0].value_or(""))} : QStringList();
    }

    ger10200::TfrmParamGrupFiscal *frm = nullptr;
};

TEST_F(CadAutoImpInscEstaTest, OpensWithTheTaxFocusedTodasAndBothListsChosen)
{
    const bool open = withDialog([&](D &d) {
        EXPECT_EQ(d.windowTitle(), kTitle);
        EXPECT_EQ(d.lblCodTela->Caption(), QStringLiteral("GER10201"));
        EXPECT_EQ(d.size(), QSize(421, 243));
        EXPECT_EQ(QApplication::focusWidget(), d.medImposto);
        EXPECT_TRUE(d.rbtTodasInscEsta->isChecked());
        EXPECT_FALSE(d.btpInscrestad->isEnabled());
        EXPECT_TRUE(d.rbtListaCliente->isChecked());
        EXPECT_TRUE(d.btpCliente->isEnabled());
        EXPECT_TRUE(d.rbtListaFornecedor->isChecked());
        EXPECT_TRUE(d.btpFornecedor->isEnabled());
        EXPECT_FALSE(d.rdbTodos->isChecked() || d.rdbVazios->isChecked() || d.rdbLimpar->isChecked());
        EXPECT_TRUE(d.ListaInscEsta.isEmpty() && d.ListaCliente.isEmpty() && d.ListaFornecedor.isEmpty());
        EXPECT_TRUE(d.netCadAutInscEsta->Connected());
        // Every caption shows whole in the small dialog.
        for (QWidget *w : d.findChildren<QWidget *>()) {
            const bool caption = (qobject_cast<QAbstractButton *>(w) && !static_cast<QAbstractButton *>(w)->text().isEmpty())
                || qobject_cast<QLabel *>(w);
            if (caption && w->isVisible()) {
                EXPECT_GE(w->width(), w->sizeHint().width()) << w->objectName().toStdString();
            }
        }
        // Tab goes down the dialog line by line.
        const QList<QWidget *> lines = {d.medImposto, d.rbtTodasInscEsta, d.rbtTodosClientes, d.rbtTodosFornecedor,
                                        d.edtGrupoFiscal, d.rdbTodos};
        QList<qsizetype> reached;
        QWidget *w = d.medImposto;
        for (int i = 0; i < 40 && reached.size() < lines.size(); ++i, w = w->nextInFocusChain()) {
            if (lines.contains(w) && !reached.contains(lines.indexOf(w)))
                reached << lines.indexOf(w);
        }
        EXPECT_EQ(reached, (QList<qsizetype>{0, 1, 2, 3, 4, 5}));
        // A list button, with no box to open it from, is reached by Tab.
        d.rbtListaCliente->setFocus(Qt::TabFocusReason);
        pressKey(Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), d.btpCliente);
    });
    EXPECT_TRUE(open);
    EXPECT_TRUE(script->problems().isEmpty()) << script->problems().join('\n').toStdString();
}

// Each panel: "Lista" enables its search and a new choice of "Lista" empties the list; the
// other choices disable the search and keep the list; a click on the button already
// chosen chooses nothing.
TEST_F(CadAutoImpInscEstaTest, AListIsEmptiedOnlyWhenItsListaIsChosenAgain)
{
    struct Panel {
        const char *name;
        std::function<vcl::TRadioButton *(D &)> list;
        std::function<QList<vcl::TRadioButton *>(D &)> others;
        std::function<QAbstractButton *(D &)> search;
        std::function<QString &(D &)> selection;
        std::string keySql;
    };
    const Panel panels[] = {
        {"registrations", [](D &d) { return d.rbtListaIncEst; },
         [](D &d) { return QList<vcl::TRadioButton *>{d.rbtTodasInscEsta}; },
         [](D &d) { return d.btpInscrestad; }, [](D &d) -> QString & { return d.ListaInscEsta; },
         "SELECT CDEMPRESA || CDINSCESTA FROM INSCRESTAD ORDER BY 1"},
        {"clients", [](D &d) { return d.rbtListaCliente; },
         [](D &d) { return QList<vcl::TRadioButton *>{d.rbtTodosClientes, d.rbtNenhumCliente}; },
         [](D &d) { return d.btpCliente; }, [](D &d) -> QString & { return d.ListaCliente; },
         "SELECT CDCLIENTE FROM CLIENTE ORDER BY 1"},
        {"suppliers", [](D &d) { return d.rbtListaFornecedor; },
         [](D &d) { return QList<vcl::TRadioButton *>{d.rbtTodosFornecedor, d.rbtNenhumrbtNenhumFornecedor}; },
         [](D &d) { return d.btpFornecedor; }, [](D &d) -> QString & { return d.ListaFornecedor; },
         "SELECT CDFORNECED FROM FORNECEDOR ORDER BY 1"},
    };
    withDialog([&](D &d) {
        for (const Panel &p : panels) {
            SCOPED_TRACE(p.name);
            choose(p.list(d));
            ASSERT_TRUE(p.search(d)->isEnabled());
            const QStringList chosen = key(p.keySql, 1);
            pick(p.search(d), chosen);
            const QString list = p.selection(d);
            ASSERT_TRUE(list.contains(chosen.first())) << list.toStdString();
            choose(p.list(d));   // already chosen: nothing happens
            EXPECT_EQ(p.selection(d), list);
            for (vcl::TRadioButton *other : p.others(d)) {
                choose(other);
                EXPECT_FALSE(p.search(d)->isEnabled()) << other->objectName().toStdString();
                EXPECT_EQ(p.selection(d), list) << other->objectName().toStdString();
            }
            choose(p.list(d));
            EXPECT_TRUE(p.search(d)->isEnabled());
            EXPECT_TRUE(p.selection(d).isEmpty());
        }
    });
    EXPECT_TRUE(script->problems().isEmpty()) << script->problems().join('\n').toStdString();
}

// The lists: read afresh, titled from the message table, columns as the queries give
// them, registration numbers through their person type's mask, the key first.
TEST_F(CadAutoImpInscEstaTest, TheListsShowTitledColumnsAndFormattedNumbers)
{
    const struct {
        const char *name;
        std::function<QAbstractButton *(D &)> search;
        const char *title;
        QStringList fields, titles;
        const char *count;
        int number;   // column of the registration number
    } lists[] = {
        {"registrations", [](D &d) { return d.btpInscrestad; }, "Inscrição Estadual",
         {"COD", "CDEMPRESA", "CDINSCESTA", "NRINSJURIEST", "NMREPRINSEST"},
         {"COD", "Empresa", "Código", "Inscrição", "Representante Legal"}, "SELECT COUNT(*) FROM INSCRESTAD", 3},
        {"clients", [](D &d) { return d.btpCliente; }, "Cliente",
         {"CDCLIENTE", "NRINSJURCLIE", "NMRAZSOCCLIE"}, {"Código", "Inscrição", "Razão Social"},
         "SELECT COUNT(*) FROM CLIENTE", 1},
        {"suppliers", [](D &d) { return d.btpFornecedor; }, "Fornecedor",
         {"CDFORNECED", "NRINSJURFORN", "NMRAZSOCFORN"}, {"Código", "Inscrição", "Razão Social"},
         "SELECT COUNT(*) FROM FORNECEDOR", 1},
    };
    const QRegularExpression formatted(QStringLiteral("^(\\d{3}\\.\\d{3}\\.\\d{3}-\\d{2}|\\d{2}\\.\\d{3}\\.\\d{3}/\\d{4}-\\d{2})$"));
    withDialog([&](D &d) {
        choose(d.rbtListaIncEst);
        for (const auto &l : lists) {
            SCOPED_TRACE(l.name);
            script->clear();
            script->push(Answer::cancel());
            clickButton(l.search(d));
            ASSERT_EQ(script->shown().size(), 1);
            const Shown &s = script->shown().first();
            EXPECT_EQ(s.kind, Shown::ChooseMany);
            EXPECT_EQ(s.title, QString::fromUtf8(l.title));
            EXPECT_EQ(s.table.fieldNames, l.fields);
            EXPECT_EQ(s.table.titles, l.titles);
            ASSERT_EQ(s.table.rows.size(), db->count(l.count));
            for (int r = 0; r < s.table.rows.size(); ++r)
                EXPECT_TRUE(formatted.match(s.table.rows.at(r).at(l.number)).hasMatch())
                    << s.table.rows.at(r).at(l.number).toStdString();
        }
        // The concatenated key of a registration is for the server, not for the eye.
        script->push(Answer::cancel());
        clickButton(d.btpInscrestad);
        EXPECT_EQ(script->shown().last().table.hidden, QList<int>{0});

        // A list read afresh: a client added meanwhile is offered.
        db->exec("INSERT INTO CLIENTE (CDCLIENTE, NMRAZSOCCLIE) VALUES ('NOVO', 'Cliente Novo')");
        pick(d.btpCliente, {QStringLiteral("NOVO")});
        EXPECT_EQ(d.ListaCliente, QStringLiteral("'NOVO'"));
    });
    EXPECT_TRUE(script->problems().isEmpty()) << script->problems().join('\n').toStdString();
}

TEST_F(CadAutoImpInscEstaTest, ATaxLeftIsAdjustedAndNamedOrRefusedWithTheFocusBack)
{
    const struct {
        const char *typed;
        const char *box;
        const char *name;       // empty: refused
    } cases[] = {
        {"5", "05", "Imposto sobre Serviços"},
        {"99", "99", ""},
    };
    withDialog([&](D &d) {
        for (const auto &c : cases) {
            SCOPED_TRACE(c.typed);
            script->clear();
            d.medImposto->clear();
            typeInto(d.medImposto, QString::fromUtf8(c.typed));
            d.rbtTodasInscEsta->setFocus(Qt::TabFocusReason);
            QApplication::processEvents();
            EXPECT_EQ(d.medImposto->Text(), QString::fromUtf8(c.box));
            EXPECT_EQ(d.edtNmImposto->text(), QString::fromUtf8(c.name));
            if (*c.name) {
                EXPECT_TRUE(script->messages().isEmpty());
                EXPECT_EQ(QApplication::focusWidget(), d.rbtTodasInscEsta);
            } else {
                EXPECT_EQ(script->messages(), QStringList{QStringLiteral("Imposto não cadastrado.")});
                EXPECT_EQ(QApplication::focusWidget(), d.medImposto);
            }
        }
    });
}

// Each failed check shows only its message, puts the focus where it says, sends nothing
// and leaves the dialog as it was.
TEST_F(CadAutoImpInscEstaTest, TheChecksRunInTheirOrderAndStopAtTheFirstFailure)
{
    ASSERT_EQ(db->count("SELECT COUNT(*) FROM GRUPOFISCAL WHERE CDGRUPOFISC = '999'"), 0);
    const QStringList client = key("SELECT CDCLIENTE FROM CLIENTE ORDER BY 1");
    struct Case {
        const char *name;
        std::function<void(D &)> set;
        const char *message;
        std::function<QWidget *(D &)> focus;
    };
    const auto filled = [&](D &d) { fillTaxAndGroup(d); };
    const Case cases[] = {
        {"empty tax and empty client list", [](D &) {}, "Imposto deve ser informado.",
         [](D &d) { return d.medImposto; }},
        {"registrations Lista without a search", [&](D &d) { filled(d); choose(d.rbtListaIncEst); },
         "Inscrição Estadual deve ser informada.", [](D &d) { return d.rbtListaIncEst; }},
        {"clients Lista without a search", filled, "Cliente deve ser informado.",
         [](D &d) { return d.rbtListaCliente; }},
        {"suppliers Lista without a search", [&](D &d) { filled(d); choose(d.rbtTodosClientes); },
         "Fornecedor deve ser informado.", [](D &d) { return d.rbtListaFornecedor; }},
        {"no group", [&](D &d) {
             typeInto(d.medImposto, QStringLiteral("1"));
             choose(d.rbtNenhumCliente);
             choose(d.rbtTodosFornecedor);
         }, "Grupo fiscal deve ser informado.", [](D &d) { return d.edtGrupoFiscal; }},
        {"unknown group", [&](D &d) {
             filled(d);
             pick(d.btpCliente, client);
             choose(d.rbtNenhumrbtNenhumFornecedor);
             d.edtGrupoFiscal->setText(QStringLiteral("999"));
         }, "Grupo fiscal não cadastrado.", [](D &d) { return d.edtGrupoFiscal; }},
        // Confirmar takes no focus: the box the user is still typing in is checked as the
        // focus leaves it for the clients' "Lista", and says why first; nothing more is said.
        {"a wrong group still being typed, clients Lista without a search", [&](D &d) {
             typeInto(d.medImposto, QStringLiteral("1"));
             typeInto(d.edtGrupoFiscal, QStringLiteral("999"));
         }, "Grupo fiscal não cadastrado.", [](D &d) { return d.edtGrupoFiscal; }},
        {"Nenhum twice and no mode", [&](D &d) {
             filled(d);
             choose(d.rbtNenhumCliente);
             choose(d.rbtNenhumrbtNenhumFornecedor);
         }, "Tipo de cadastramento deve ser informado.", [](D &d) { return d.rdbTodos; }},
        {"Nenhum twice", [&](D &d) {
             filled(d);
             choose(d.rbtNenhumCliente);
             choose(d.rbtNenhumrbtNenhumFornecedor);
             choose(d.rdbLimpar);
         }, "Nenhum Cliente e nenhum Fornecedor selecionado.", [](D &d) { return d.rbtNenhumCliente; }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        script->clear();
        clearCalls();
        const bool open = withDialog([&](D &d) {
            c.set(d);
            const QString tax = d.medImposto->Text();
            const QString clients = d.ListaCliente;
            script->clear();
            clickButton(d.sbtConfirma);
            EXPECT_EQ(script->messages(), QStringList{QString::fromUtf8(c.message)});
            EXPECT_EQ(QApplication::focusWidget(), c.focus(d));
            EXPECT_EQ(d.medImposto->Text(), tax);
            EXPECT_EQ(d.ListaCliente, clients);
        });
        EXPECT_TRUE(open);
        EXPECT_TRUE(registrations().isEmpty());
    }
}

// The question by clients, suppliers and mode; No leaves everything as it was.
TEST_F(CadAutoImpInscEstaTest, TheQuestionFollowsClientsSuppliersAndModeAndNoChangesNothing)
{
    const QStringList supplier = key("SELECT CDFORNECED FROM FORNECEDOR ORDER BY 1");
    using Pick = std::function<vcl::TRadioButton *(D &)>;
    const struct {
        Pick clients, suppliers, mode;
        QString question;
    } cases[] = {
        {[](D &d) { return d.rbtTodosClientes; }, [](D &d) { return d.rbtListaFornecedor; },
         [](D &d) { return d.rdbTodos; },
         "Atenção! O cadastramento automático será realizado em todos os clientes. Confirma operação?"},
        {[](D &d) { return d.rbtTodosClientes; }, [](D &d) { return d.rbtNenhumrbtNenhumFornecedor; },
         [](D &d) { return d.rdbVazios; },
         "Atenção! O cadastramento automático será realizado em todos os clientes não vinculados a um grupo fiscal. "
         "Confirma operação?"},
        {[](D &d) { return d.rbtTodosClientes; }, [](D &d) { return d.rbtTodosFornecedor; },
         [](D &d) { return d.rdbTodos; },
         "Atenção! O cadastramento automático será realizado em todos os clientes e todos os fornecedores. "
         "Confirma operação?"},
        {[](D &d) { return d.rbtNenhumCliente; }, [](D &d) { return d.rbtTodosFornecedor; },
         [](D &d) { return d.rdbLimpar; },
         "Atenção! O cadastramento automático irá excluir o grupo fiscal de todos os fornecedores. "
         "Confirma operação?"},
    };
    const QMap<QString, QString> clientsBefore = stored(kClientGroups);
    const QMap<QString, QString> suppliersBefore = stored(kSupplierGroups);
    withDialog([&](D &d) {
        fillTaxAndGroup(d);
        pick(d.btpFornecedor, supplier);
        for (const auto &c : cases) {
            SCOPED_TRACE(c.question.toStdString());
            script->clear();
            choose(c.clients(d));
            choose(c.suppliers(d));
            choose(c.mode(d));
            script->push(Answer::no());
            clickButton(d.sbtConfirma);
            ASSERT_EQ(script->shown().size(), 1);
            EXPECT_EQ(script->shown().first().messageType, clientlib::mtConfirmation);
            EXPECT_EQ(script->shown().first().text, c.question);
            EXPECT_TRUE(c.mode(d)->isChecked());
        }
    });
    EXPECT_TRUE(registrations().isEmpty());
    EXPECT_EQ(stored(kClientGroups), clientsBefore);
    EXPECT_EQ(stored(kSupplierGroups), suppliersBefore);
}

// Clients "Todos", suppliers "Nenhum", "Registros Vazios", answered Yes: the group goes to
// every client of every registration that had none for the tax, and nowhere else.
TEST_F(CadAutoImpInscEstaTest, YesSendsTheChoicesAndFillsOnlyTheEmptyClientRows)
{
    const QStringList kept = key("SELECT CDEMPRESA || CDINSCESTA FROM INSCRESTAD ORDER BY 1");
    QMap<QString, QString> clients = stored(kClientGroups);
    const QMap<QString, QString> suppliers = stored(kSupplierGroups);
    ASSERT_TRUE(std::count(clients.begin(), clients.end(), QString()) > 0);
    for (QString &g : clients)
        if (g.isEmpty())
            g = QStringLiteral("007");

    const bool open = withDialog([&](D &d) {
        fillTaxAndGroup(d);
        choose(d.rbtListaIncEst);
        pick(d.btpInscrestad, kept);
        choose(d.rbtTodasInscEsta);   // the list stays and still goes
        choose(d.rbtTodosClientes);
        choose(d.rbtNenhumrbtNenhumFornecedor);
        choose(d.rdbVazios);
        script->clear();
        script->push(Answer::yes());
        clickButton(d.sbtConfirma);
    });
    EXPECT_FALSE(open) << "a registration that succeeded closes the dialog";
    EXPECT_TRUE(script->problems().isEmpty()) << script->problems().join('\n').toStdString();
    ASSERT_EQ(registrations().size(), 1);
    EXPECT_EQ(registrations().first(),
              (QStringList{QStringLiteral("01"), QString(), QStringLiteral("T"), QLatin1Char('\'') + kept.first() + QLatin1Char('\''),
                           QStringLiteral("T"), QString(), QStringLiteral("N"), QString(), QStringLiteral("007"),
                           QStringLiteral("V")}));
    const RecordedCall call = callsOf(QStringLiteral("CadAutoImpInscEsta")).first();
    EXPECT_EQ(call.serverName, QString::fromLatin1(protocol::kCadAutParGrpFis));
    EXPECT_EQ(call.waitKind, 6);
    EXPECT_EQ(call.waitText, QStringLiteral("Realizando cadastramento automático..."));
    EXPECT_EQ(call.waitWindowName, QStringLiteral("frmCadAutoImpInscEsta")) << "the animation covers the dialog";
    EXPECT_EQ(stored(kClientGroups), clients);
    EXPECT_EQ(stored(kSupplierGroups), suppliers);
    EXPECT_EQ(clientlib::currentWaitAnimation(), nullptr);
}

// Both lists filled: no question; only the chosen clients and suppliers of the chosen
// registration change. "Limpar Registros" then removes that group from them, and only it.
TEST_F(CadAutoImpInscEstaTest, ListsGoWithoutAQuestionAndLimparRemovesOnlyTheGroupGiven)
{
    const auto reg = db->query("SELECT CDEMPRESA, CDINSCESTA FROM INSCRESTAD ORDER BY 1, 2");
    const QString company = QString::fromStdString(*reg[0][0]);
    const QString registration = QString::fromStdString(*reg[0][1]);
    const QString prefix = company + QLatin1Char('/') + registration + QLatin1Char('/');
    const QStringList clientKeys = {key("SELECT CDCLIENTE FROM CLIENTE ORDER BY 1", 0).first(),
                                    key("SELECT CDCLIENTE FROM CLIENTE ORDER BY 1", 1).first()};
    const QStringList supplierKeys = key("SELECT CDFORNECED FROM FORNECEDOR ORDER BY 1", 2);
    // A chosen client holding another group keeps it when 007 is removed.
    db->exec("DELETE FROM GRFISIMPIECLIE WHERE CDIMPOSTO = '01' AND CDEMPRESA = $1 AND CDINSCESTA = $2 "
             "AND CDCLIENTE = $3", {company.toStdString(), registration.toStdString(), clientKeys[1].toStdString()});
    db->exec("INSERT INTO GRFISIMPIECLIE (CDIMPOSTO, CDEMPRESA, CDINSCESTA, CDCLIENTE, CDGRUPOFISC) "
             "VALUES ('01', $1, $2, $3, '003')", {company.toStdString(), registration.toStdString(), clientKeys[1].toStdString()});

    const auto run = [&](vcl::TRadioButton *D::*mode) -> QStringList {
        clearCalls();
        script->clear();
        const bool open = withDialog([&](D &d) {
            fillTaxAndGroup(d);
            choose(d.rbtListaIncEst);
            pick(d.btpInscrestad, {company + registration});
            pick(d.btpCliente, clientKeys);
            pick(d.btpFornecedor, supplierKeys);
            choose(d.*mode);
            script->clear();
            clickButton(d.sbtConfirma);
        });
        EXPECT_FALSE(open);
        EXPECT_TRUE(script->shown().isEmpty()) << "no question for lists";
        EXPECT_EQ(registrations().size(), 1);
        return registrations().value(0);
    };

    QMap<QString, QString> clients = stored(kClientGroups);
    QMap<QString, QString> suppliers = stored(kSupplierGroups);
    const QStringList sent = run(&D::rdbTodos);
    EXPECT_EQ(sent.mid(2, 6), (QStringList{QStringLiteral("L"), QLatin1Char('\'') + company + registration + QLatin1Char('\''),
                                           QStringLiteral("L"), QStringLiteral("'%1','%2'").arg(clientKeys[0], clientKeys[1]),
                                           QStringLiteral("L"), QLatin1Char('\'') + supplierKeys[0] + QLatin1Char('\'')}));
    EXPECT_EQ(sent.last(), QStringLiteral("T"));
    for (const QString &c : clientKeys)
        clients[prefix + c] = QStringLiteral("007");
    suppliers[prefix + supplierKeys[0]] = QStringLiteral("007");
    EXPECT_EQ(stored(kClientGroups), clients);
    EXPECT_EQ(stored(kSupplierGroups), suppliers);

    // Back to 003 for the second client, then clear 007 from the same selection.
    db->exec("UPDATE GRFISIMPIECLIE SET CDGRUPOFISC = '003' WHERE CDIMPOSTO = '01' AND CDEMPRESA = $1 "
             "AND CDINSCESTA = $2 AND CDCLIENTE = $3", {company.toStdString(), registration.toStdString(), clientKeys[1].toStdString()});
    clients[prefix + clientKeys[1]] = QStringLiteral("003");
    EXPECT_EQ(run(&D::rdbLimpar).last(), QStringLiteral("E"));
    clients[prefix + clientKeys[0]] = QString();
    suppliers[prefix + supplierKeys[0]] = QString();
    EXPECT_EQ(stored(kClientGroups), clients);
    EXPECT_EQ(stored(kSupplierGroups), suppliers);
}

// A refused call (a chosen client deleted meanwhile) is shown; the dialog stays open with
// everything chosen, the animation is gone and nothing was written.
// "Simular" runs the checks of confirming first, then tells what the run would change,
// without the question and without writing; the run confirmed afterwards changes exactly
// what it told.
TEST_F(CadAutoImpInscEstaTest, SimularTellsWhatTheRunWouldDoWithoutAskingOrWriting)
{
    const auto dump = [this](const char *table, const char *party) {
        return stored(std::string("SELECT CDIMPOSTO || '/' || CDEMPRESA || '/' || CDINSCESTA || '/' || ") + party
                      + ", CDGRUPOFISC FROM " + table);
    };
    const QMap<QString, QString> clients = dump("GRFISIMPIECLIE", "CDCLIENTE");
    const QMap<QString, QString> suppliers = dump("GRFISIMPIEFORN", "CDFORNECED");
    QStringList preview;
    bool asked = false;
    const bool open = withDialog([&](D &d) {
        clickButton(d.sbtSimular);
        EXPECT_EQ(script->messages(), QStringList{QStringLiteral("Imposto deve ser informado.")});
        fillTaxAndGroup(d);
        choose(d.rbtTodosClientes);
        choose(d.rbtTodosFornecedor);
        choose(d.rdbVazios);
        script->clear();
        clickButton(d.sbtSimular);
        preview = script->messages();
        for (const Shown &shown : script->shown())
            asked = asked || shown.messageType == clientlib::mtConfirmation;
        EXPECT_TRUE(d.isVisible());
        EXPECT_EQ(dump("GRFISIMPIECLIE", "CDCLIENTE"), clients);
        EXPECT_EQ(dump("GRFISIMPIEFORN", "CDFORNECED"), suppliers);
        EXPECT_TRUE(registrations().isEmpty());
        script->clear();
        script->push(Answer::yes());
        clickButton(d.sbtConfirma);
    });
    EXPECT_FALSE(open);
    EXPECT_FALSE(asked) << "a preview changes nothing: no question before it";
    const auto simulated = callsOf(QStringLiteral("SimulaCadAutoImpInscEsta"));
    ASSERT_EQ(simulated.size(), 1);
    ASSERT_EQ(registrations().size(), 1);
    EXPECT_EQ(texts(simulated.first().params), registrations().first());

    // What the run did, table by table, in the order the server writes them.
    dataset::DataPacket counts;
    for (const char *f : {"NMTABELA", "QTALTERADOS", "QTINCLUIDOS", "QTEXCLUIDOS"})
        counts.fields.push_back({QString::fromLatin1(f), 20});
    qint64 total = 0;
    for (const auto &[table, party, before] : {std::tuple{"GRFISIMPIECLIE", "CDCLIENTE", clients},
                                               std::tuple{"GRFISIMPIEFORN", "CDFORNECED", suppliers}}) {
        const QMap<QString, QString> after = dump(table, party);
        qint64 changed = 0, inserted = 0, deleted = 0;
        for (auto it = after.begin(); it != after.end(); ++it)
            (before.contains(it.key()) ? changed : inserted) += !before.contains(it.key()) || before.value(it.key()) != it.value();
        for (auto it = before.begin(); it != before.end(); ++it)
            deleted += !after.contains(it.key());
        total += changed + inserted + deleted;
        counts.rows.append(dataset::Row{QString::fromLatin1(table), QString::number(changed), QString::number(inserted),
                                        QString::number(deleted)});
    }
    ASSERT_GT(total, 0);
    EXPECT_EQ(preview, QStringList{ger10200::previewText(counts)
                                   + QStringLiteral("\n\nNada foi gravado: isto é só uma simulação.")});
}

TEST_F(CadAutoImpInscEstaTest, ARefusedCallKeepsTheDialogOpenAndWritesNothing)
{
    db->exec("INSERT INTO CLIENTE (CDCLIENTE, NMRAZSOCCLIE) VALUES ('SAI', 'Cliente que sai')");
    QMap<QString, QString> before;
    const bool open = withDialog([&](D &d) {
        fillTaxAndGroup(d);
        pick(d.btpCliente, {QStringLiteral("SAI")});
        choose(d.rbtTodosFornecedor);
        choose(d.rdbTodos);
        db->exec("DELETE FROM CLIENTE WHERE CDCLIENTE = 'SAI'");
        before = stored(kClientGroups);
        script->clear();
        script->push(Answer::yes());
        clickButton(d.sbtConfirma);
        ASSERT_EQ(script->messages().size(), 2);
        EXPECT_TRUE(script->messages().last().contains(QStringLiteral("SAI"))) << script->messages().last().toStdString();
        EXPECT_EQ(d.ListaCliente, QStringLiteral("'SAI'"));
        EXPECT_TRUE(d.rdbTodos->isChecked());
        EXPECT_EQ(clientlib::currentWaitAnimation(), nullptr);
    });
    EXPECT_TRUE(open);
    EXPECT_EQ(registrations().size(), 1);
    EXPECT_EQ(stored(kClientGroups), before);
}

// After the dialog, confirmed or cancelled, both state-registration sets are reloaded,
// suppliers first, when the tab's three boxes are filled; with one empty, nothing is.
TEST_F(CadAutoImpInscEstaTest, AfterTheDialogTheTabShowsWhatTheDatabaseHolds)
{
    const auto reg = db->query("SELECT CDEMPRESA, CDINSCESTA FROM INSCRESTAD ORDER BY 1, 2");
    const std::string company = *reg[0][0];
    const std::string registration = *reg[0][1];
    frm->medCdEmpresa->setText(QString::fromStdString(company));
    frm->medInscEsta->setText(QString::fromStdString(registration));
    frm->medImp->setText(QStringLiteral("01"));
    frm->dbgFornInsc->setFocus(Qt::TabFocusReason);
    QApplication::processEvents();
    ASSERT_TRUE(frm->cdsFornInsc->Active());

    clearCalls();
    const bool open = withDialog([&](D &d) {
        fillTaxAndGroup(d);
        choose(d.rbtTodosClientes);
        choose(d.rbtTodosFornecedor);
        choose(d.rdbTodos);
        script->push(Answer::yes());
        clickButton(d.sbtConfirma);
    });
    EXPECT_FALSE(open);
    const QStringList after = methods().mid(methods().indexOf(QStringLiteral("CadAutoImpInscEsta")) + 1);
    EXPECT_EQ(after, (QStringList{QStringLiteral("GetFornInsc"), QStringLiteral("GetCliInsc")}));
    const TestDb::Row params = {company, registration};
    EXPECT_TRUE(databaseShows(frm->cdsCliInsc, QStringLiteral("CDCLIENTE"),
                              "SELECT c.CDCLIENTE, p.CDGRUPOFISC FROM CLIENTE c LEFT JOIN GRFISIMPIECLIE p "
                              "ON p.CDCLIENTE = c.CDCLIENTE AND p.CDIMPOSTO = '01' AND p.CDEMPRESA = $1 "
                              "AND p.CDINSCESTA = $2", params));
    EXPECT_TRUE(databaseShows(frm->cdsFornInsc, QStringLiteral("CDFORNECED"),
                              "SELECT f.CDFORNECED, p.CDGRUPOFISC FROM FORNECEDOR f LEFT JOIN GRFISIMPIEFORN p "
                              "ON p.CDFORNECED = f.CDFORNECED AND p.CDIMPOSTO = '01' AND p.CDEMPRESA = $1 "
                              "AND p.CDINSCESTA = $2", params));
    EXPECT_EQ(db->count("SELECT COUNT(*) FROM GRFISIMPIECLIE WHERE CDIMPOSTO = '01' AND CDGRUPOFISC <> '007'"), 0);

    // Cancelled: the same reload. With the registration box empty: none.
    clearCalls();
    withDialog([&](D &d) { clickButton(d.sbtFechar); });
    EXPECT_EQ(methods(), (QStringList{QStringLiteral("GetFornInsc"), QStringLiteral("GetCliInsc")}));
    frm->medInscEsta->setText(QString());
    clearCalls();
    withDialog([&](D &d) { clickButton(d.sbtFechar); });
    EXPECT_TRUE(methods().isEmpty()) << methods().join(',').toStdString();
}

} // namespace
} // namespace fiscal::test
