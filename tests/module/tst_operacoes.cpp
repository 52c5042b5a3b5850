// Undoing from "Operações recentes": the question names whose operation it is, when it ran,
// what it did and what the undo would restore, and warns about another user's operation;
// an answer the screen cannot read is reported as such, never taken as a result.

#include "modulefixture.h"

#include "../appserver/writesupport.h"

#include "Pkg_Ger10200/historico/historico.h"
#include "Pkg_Ger10200/historico/operationtext.h"
#include "protocol/objects.h"
#include "protocol/selectiondigest.h"
#include "clientlib/settings.h"
#include "dataset/valuewriter.h"
#include "rpc/dispatcher.h"
#include "rpc/httpserver.h"

#include <QApplication>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QRegularExpression>
#include <QTableView>
#include <QTableWidget>
#include <QTest>
#include <QToolButton>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

namespace fiscal::test {
namespace {

using clientlib::Answer;
using clientlib::Shown;
using ger10200::TfrmOperacoes;

const QString kUser = QStringLiteral("Maria Conceição");
// The name the history keeps for it (the test server runs without sign-in).
const QString kRecorded = QString::fromStdString(fiscal::test::recordedAs(kUser.toStdString()));

class OperacoesTest : public ModuleTest {
protected:
    void SetUp() override
    {
        clientlib::Settings::instance().setUser(kUser);
        ModuleTest::SetUp();
    }
    void TearDown() override
    {
        ModuleTest::TearDown();
        clientlib::Settings::instance().setUser(QString());
    }
    // `call` as `user`, straight to the server; returns the operation it recorded.
    std::string callAs(const std::string &user, const std::string &object, const std::string &method,
                       const QCborArray &args) const
    {
        const RpcResult r = rpcCallAs(user, server->port(), object, method, args);
        EXPECT_TRUE(r.ok()) << r.errorMessage.toStdString();
        return db->scalar("SELECT MAX(IDOPERACAO) FROM HISTOPERACAO").value_or("");
    }
    QString localMinute(const std::string &id) const
    {
        const std::string utc = db->scalar("SELECT DTOPERACAO FROM HISTOPERACAO WHERE IDOPERACAO = $1", {id}).value_or("");
        return QDateTime::fromString(QString::fromStdString(utc), Qt::ISODateWithMs)
            .toLocalTime()
            .toString(QStringLiteral("dd/MM/yyyy HH:mm"));
    }
    // Opens the list, picks the operation and asks to undo it, answering the question No.
    // Returns the box shown for it.
    Shown askToUndo(const std::string &id)
    {
        script->clear();
        TfrmOperacoes dialog;
        dialog.Atualiza();
        for (int r = 0; r < dialog.tblOperacoes->rowCount(); ++r)
            if (dialog.tblOperacoes->item(r, 0)->text() == QString::fromStdString(id))
                dialog.tblOperacoes->selectRow(r);
        script->push(Answer::no());
        dialog.Desfazer();
        EXPECT_TRUE(script->problems().isEmpty()) << script->problems().join('\n').toStdString();
        EXPECT_EQ(script->shown().size(), 1);
        return script->shown().value(0);
    }
};

// An import reads as one in the list, its printout and the undo question.
TEST(OperationText, AnImportIsNamedAndItsArgumentsSaidInWords)
{
    namespace h = ger10200::historico;
    EXPECT_EQ(h::methodCaption(QStringLiteral("ImportaGrupos")), QStringLiteral("Importação de planilha"));
    const struct {
        const char *json;
        const char *words;
    } cases[] = {
        {R"(["CLIENTE","","","",1234])", "Clientes: 1.234 linhas"},
        {R"(["GRFISCIMPOSFILI","01","","",1])", "Imposto por filial, imposto 01: 1 linha"},
        {R"(["GRFISIMPIEFORN","01","02","1234",7])",
         "Fornecedores por imposto e inscrição estadual, imposto 01, empresa 02, inscrição 1234: 7 linhas"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(h::argumentsInWords(QStringLiteral("ImportaGrupos"), QString::fromUtf8(c.json)), QString::fromUtf8(c.words))
            << c.json;
}

// A replication's lists are named key by key, or counted when the history kept a long one as
// its digest.
TEST(OperationText, AReplicationNamesItsListsOrCountsALongOne)
{
    namespace h = ger10200::historico;
    QString longList;
    for (int i = 0; i < 80; ++i)
        longList += QStringLiteral("%1'%2'").arg(i ? QStringLiteral(",") : QString()).arg(1000000000000000 + i);
    const QString kept = protocol::keptSelection(longList);
    ASSERT_TRUE(protocol::digestedKeys(kept));
    const struct {
        QString groups, destinations, words;
    } cases[] = {
        {QStringLiteral("'001','002'"), QStringLiteral("T"), QStringLiteral("grupos 001, 002 para a empresa 02, inscrições todas")},
        {QStringLiteral("T"), kept, QStringLiteral("grupos todos para a empresa 02, inscrições 80 escolhidas")},
        {kept, QStringLiteral("'77'"), QStringLiteral("grupos 80 escolhidos para a empresa 02, inscrições 77")},
    };
    for (const auto &c : cases) {
        const QJsonArray args{QStringLiteral("01"), QStringLiteral("01"), QStringLiteral("55"), c.groups,
                              QStringLiteral("02"), c.destinations, false, true};
        const QString words = h::argumentsInWords(QStringLiteral("Replica"),
                                                  QString::fromUtf8(QJsonDocument(args).toJson(QJsonDocument::Compact)));
        EXPECT_TRUE(words.endsWith(c.words)) << words.toStdString();
    }
}

TEST_F(OperacoesTest, TheListSaysSoWhenNoOperationIsRecordedAndOnlyThen)
{
    db->exec("DELETE FROM HISTITEM");
    db->exec("DELETE FROM HISTOPERACAO");
    const QString client = QString::fromStdString(
        db->scalar("SELECT MIN(CDCLIENTE) FROM CLIENTE WHERE CDGRUPOFISC = '001'").value_or(""));
    ASSERT_FALSE(client.isEmpty());
    TfrmOperacoes dialog;
    struct Step {
        const char *what;
        std::function<void()> before;
        int rows;
        bool saysNone, error;
    };
    const Step steps[] = {
        {"nothing recorded", [] {}, 0, true, false},
        {"after a save", [&] { callAs("Beto", kParamGrupFiscal, "SetCliente",
                                      {writes::ChangeSetBuilder("SetCliente")
                                           .update({{"CDCLIENTE", client}, {"CDGRUPOFISC", "001"}},
                                                   {{"CDCLIENTE", client}, {"CDGRUPOFISC", "002"}})
                                           .build()}); },
         1, false, false},
        {"emptied again", [&] { db->exec("DELETE FROM HISTITEM"); db->exec("DELETE FROM HISTOPERACAO"); }, 0, true, false},
        {"a read that fails", [&] { db->exec("ALTER TABLE HISTOPERACAO RENAME TO HISTOPERACAO_FORA"); }, 0, false, true},
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(s.what);
        s.before();
        script->clear();
        dialog.sbtVerificar->click();
        EXPECT_EQ(dialog.tblOperacoes->rowCount(), s.rows);
        EXPECT_EQ(dialog.lblNenhuma->isVisibleTo(&dialog), s.saysNone);
        EXPECT_EQ(script->shown().size(), s.error ? 1 : 0);
        EXPECT_EQ(dialog.sbtDesfazer->isEnabled(), s.rows > 0);
    }
}

// An undo a page down the list leaves the user there, on the operation now marked as undone.
TEST_F(OperacoesTest, AnUndoKeepsThePagesReadAndChoosesTheUndoneOperation)
{
    // Sixty saves: the fifth oldest on a client of its own, the others back and forth on
    // another, so that nothing later holds the fifth back.
    const auto clients = db->query("SELECT CDCLIENTE, CDGRUPOFISC FROM CLIENTE WHERE CDGRUPOFISC IN ('001', '002') "
                                   "ORDER BY CDCLIENTE");
    ASSERT_GE(clients.size(), 2u);
    QString groups[2] = {QString::fromStdString(clients[0][1].value_or("")), QString::fromStdString(clients[1][1].value_or(""))};
    std::vector<std::string> ids;
    for (int i = 0; i < 60; ++i) {
        const int which = i == 4 ? 0 : 1;
        const QString client = QString::fromStdString(clients[std::size_t(which)][0].value_or(""));
        const QString from = groups[which];
        const QString to = from == u"001" ? QStringLiteral("002") : QStringLiteral("001");
        ids.push_back(callAs("Beto", kParamGrupFiscal, "SetCliente",
                             {writes::ChangeSetBuilder("SetCliente")
                                  .update({{"CDCLIENTE", client}, {"CDGRUPOFISC", from}},
                                          {{"CDCLIENTE", client}, {"CDGRUPOFISC", to}})
                                  .build()}));
        groups[which] = to;
    }
    TfrmOperacoes dialog;
    dialog.Atualiza();
    dialog.sbtMaisAntigas->click();
    ASSERT_GT(dialog.tblOperacoes->rowCount(), 55);
    const QString undone = QString::fromStdString(ids[4]);   // the 56th newest
    for (int r = 0; r < dialog.tblOperacoes->rowCount(); ++r)
        if (dialog.tblOperacoes->item(r, 0)->text() == undone)
            dialog.tblOperacoes->selectRow(r);
    ASSERT_EQ(dialog.tblOperacoes->item(dialog.tblOperacoes->currentRow(), 0)->text(), undone);
    const int shown = dialog.tblOperacoes->rowCount();
    script->clear();
    script->push(Answer::yes());
    dialog.Desfazer();
    EXPECT_TRUE(script->problems().isEmpty()) << script->problems().join('\n').toStdString();
    EXPECT_GT(dialog.tblOperacoes->rowCount(), shown);   // the undo on top, the pages read before below
    const int row = dialog.tblOperacoes->currentRow();
    ASSERT_GE(row, 0);
    EXPECT_EQ(dialog.tblOperacoes->item(row, 0)->text(), undone);
    EXPECT_TRUE(dialog.tblOperacoes->item(row, 9)->text().startsWith(QStringLiteral("Desfeita pela operação")));
}

// "Registros..." lists every row the operation changed, a bulk one included.
// An undo of an undo redoes: the list says so, and undone again it names the last undo; the
// record's own history says the same.
TEST_F(OperacoesTest, AnUndoneUndoReadsAsRedone)
{
    const std::string client = db->scalar("SELECT MIN(CDCLIENTE) FROM CLIENTE WHERE CDGRUPOFISC = '001'").value_or("");
    ASSERT_FALSE(client.empty());
    const QString c = QString::fromStdString(client);
    const std::string saved = callAs("Beto", kParamGrupFiscal, "SetCliente",
                                     {writes::ChangeSetBuilder("SetCliente")
                                          .update({{"CDCLIENTE", c}, {"CDGRUPOFISC", "001"}},
                                                  {{"CDCLIENTE", c}, {"CDGRUPOFISC", "002"}})
                                          .build()});
    std::vector<std::string> undos;
    std::string last = saved;
    for (int i = 0; i < 3; ++i) {
        last = callAs("Beto", protocol::kHistorico, "DesfazOperacao", {QString::fromStdString(last)});
        undos.push_back(last);
    }
    TfrmOperacoes dialog;
    dialog.Atualiza();
    QMap<QString, QString> states;
    for (int r = 0; r < dialog.tblOperacoes->rowCount(); ++r)
        states.insert(dialog.tblOperacoes->item(r, 0)->text(), dialog.tblOperacoes->item(r, 9)->text());
    const auto id = [](const std::string &s) { return QString::fromStdString(s); };
    EXPECT_EQ(states.value(id(saved)), QStringLiteral("Desfeita pela operação %1").arg(id(undos[2])));
    EXPECT_EQ(states.value(id(undos[0])), QStringLiteral("Refeita pela operação %1").arg(id(undos[2])));
    EXPECT_EQ(states.value(id(undos[1])), QStringLiteral("Desfeita pela operação %1").arg(id(undos[2])));
    EXPECT_EQ(states.value(id(undos[2])), QString());

    ger10200::TfrmHistoricoRegistro record({QStringLiteral("CLIENTE"), {c}, c});
    record.Atualiza();
    QMap<QString, QString> recordStates;
    for (int r = 0; r < record.tblHistorico->rowCount(); ++r)
        recordStates.insert(record.tblHistorico->item(r, 0)->data(Qt::UserRole).toString(),
                            record.tblHistorico->item(r, 6)->text());
    ASSERT_EQ(recordStates.size(), 4);
    for (const QString &op : {id(saved), id(undos[0]), id(undos[1]), id(undos[2])})
        EXPECT_EQ(recordStates.value(op), states.value(op)) << op.toStdString();
}

// Undone from another desktop while this list was open: "Desfazer" says so, and the list is
// read again, showing by which operation.
TEST_F(OperacoesTest, AnOperationUndoneElsewhereShowsSoAfterTheRefusal)
{
    const std::string client = db->scalar("SELECT MIN(CDCLIENTE) FROM CLIENTE WHERE CDGRUPOFISC = '001'").value_or("");
    ASSERT_FALSE(client.empty());
    const QString c = QString::fromStdString(client);
    const QString saved = QString::fromStdString(callAs("Beto", kParamGrupFiscal, "SetCliente",
                                                        {writes::ChangeSetBuilder("SetCliente")
                                                             .update({{"CDCLIENTE", c}, {"CDGRUPOFISC", "001"}},
                                                                     {{"CDCLIENTE", c}, {"CDGRUPOFISC", "002"}})
                                                             .build()}));
    TfrmOperacoes dialog;
    dialog.Atualiza();
    ASSERT_EQ(dialog.tblOperacoes->item(0, 0)->text(), saved);
    dialog.tblOperacoes->selectRow(0);
    const QString undo = QString::fromStdString(callAs("Beto", protocol::kHistorico, "DesfazOperacao", {saved}));
    script->clear();
    dialog.Desfazer();
    EXPECT_EQ(script->messages(), QStringList{QStringLiteral("A operação %1 já foi desfeita pela operação %2.").arg(saved, undo)});
    QString state;
    for (int r = 0; r < dialog.tblOperacoes->rowCount(); ++r)
        if (dialog.tblOperacoes->item(r, 0)->text() == saved)
            state = dialog.tblOperacoes->item(r, 9)->text();
    EXPECT_EQ(state, QStringLiteral("Desfeita pela operação %1").arg(undo));
}

// With the keyboard alone, Tab leaves the list for every button of the window.
TEST_F(OperacoesTest, TabLeavesTheListForTheButtons)
{
    const std::string client = db->scalar("SELECT MIN(CDCLIENTE) FROM CLIENTE WHERE CDGRUPOFISC = '001'").value_or("");
    ASSERT_FALSE(client.empty());
    const QString c = QString::fromStdString(client);
    callAs("Beto", kParamGrupFiscal, "SetCliente",
           {writes::ChangeSetBuilder("SetCliente")
                .update({{"CDCLIENTE", c}, {"CDGRUPOFISC", "001"}}, {{"CDCLIENTE", c}, {"CDGRUPOFISC", "002"}})
                .build()});
    TfrmOperacoes dialog;
    dialog.Atualiza();
    dialog.show();
    dialog.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
    dialog.tblOperacoes->setFocus();
    dialog.tblOperacoes->selectRow(0);
    QStringList reached;
    for (int i = 0; i < 12; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        reached << QApplication::focusWidget()->objectName();
    }
    for (const char *button : {"sbtVerificar", "sbtRegistros", "sbtDesfazer", "sbtFechar"})
        EXPECT_TRUE(reached.contains(QLatin1String(button))) << button << ": " << reached.join(' ').toStdString();
}

TEST_F(OperacoesTest, TheRowsOfAnOperationAreListedOneByOne)
{
    const std::int64_t without = db->count("SELECT COUNT(*) FROM CLIENTE WHERE CDGRUPOFISC IS NULL");
    ASSERT_GT(without, 2);
    const std::string client = db->scalar("SELECT MIN(CDCLIENTE) FROM CLIENTE WHERE CDGRUPOFISC IS NULL").value_or("");
    const std::string id = callAs("Beto", kCadAutParGrpFis, "CadastroAutomatico", {"CLIENTE", "003", "", "V", "", "", ""});
    const QString description = QString::fromStdString(
        db->scalar("SELECT DSGRUPOFISC FROM GRUPOFISCAL WHERE CDGRUPOFISC = '003'").value_or(""));
    TfrmOperacoes dialog;
    dialog.Atualiza();
    ASSERT_GT(dialog.tblOperacoes->rowCount(), 0);
    ASSERT_EQ(dialog.tblOperacoes->item(0, 0)->text(), QString::fromStdString(id));
    dialog.tblOperacoes->selectRow(0);
    QStringList first;
    int rows = -1;
    QString help;
    script->clear();
    script->push(Answer::dialog([&](QDialog &d) {
        auto *table = d.findChild<QTableView *>(QStringLiteral("tblItens"));
        ASSERT_TRUE(table);
        help = helpPageOnF1(d);
        const QAbstractItemModel *m = table->model();
        rows = m->rowCount();
        for (int r = 0; r < rows; ++r)
            if (m->index(r, 1).data().toString() == QString::fromStdString(client))
                for (int c = 0; c < m->columnCount(); ++c)
                    first << m->index(r, c).data().toString();
    }));
    dialog.MostraRegistros();
    EXPECT_TRUE(script->problems().isEmpty()) << script->problems().join('\n').toStdString();
    EXPECT_EQ(help, QStringLiteral("historico")) << "F1 in the operation's records";
    EXPECT_EQ(rows, without);
    ASSERT_EQ(first.size(), 5);
    EXPECT_EQ(first.mid(0, 4), (QStringList{QStringLiteral("Clientes"), QString::fromStdString(client),
                                            QStringLiteral("Alterado"), QStringLiteral("(nenhum)")}));
    EXPECT_EQ(first.at(4).simplified(), (QStringLiteral("003 - ") + description).simplified());

    // From the keyboard: the list has the focus from the start, and Enter opens the row.
    bool opened = false;
    script->push(Answer::dialog([&](QDialog &d) { opened = d.findChild<QTableView *>(QStringLiteral("tblItens")); }));
    dialog.show();
    dialog.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
    EXPECT_EQ(QApplication::focusWidget(), dialog.tblOperacoes);
    QTest::keyClick(dialog.tblOperacoes, Qt::Key_Return);
    EXPECT_TRUE(opened);
}

TEST_F(OperacoesTest, TheQuestionSaysWhoWhenWhatAndHowManyRowsComeBack)
{
    const std::string clients = db->scalar("SELECT COUNT(*) FROM CLIENTE WHERE CDGRUPOFISC IS NULL").value_or("");
    ASSERT_GT(std::stoi(clients), 2);
    const std::string registration = callAs("Beto", kCadAutParGrpFis, "CadastroAutomatico",
                                            {"CLIENTE", "003", "", "V", "", "", ""});
    const std::string supplier = db->scalar("SELECT MIN(CDFORNECED) FROM FORNECEDOR WHERE CDGRUPOFISC = '001'").value_or("");
    ASSERT_FALSE(supplier.empty());
    const QString code = QString::fromStdString(supplier);
    const std::string mine = callAs(kUser.toStdString(), kParamGrupFiscal, "SetFornecedor",
                                    {writes::ChangeSetBuilder("SetFornecedor")
                                         .update({{"CDFORNECED", code}, {"CDGRUPOFISC", "001"}},
                                                 {{"CDFORNECED", code}, {"CDGRUPOFISC", "002"}})
                                         .build()});
    // One of Beto's clients is changed since by a save of another user.
    const QString client = QString::fromStdString(
        db->scalar("SELECT MIN(CDCHAVE1) FROM HISTITEM WHERE IDOPERACAO = $1", {registration}).value_or(""));
    callAs("Ana", kParamGrupFiscal, "SetCliente",
           {writes::ChangeSetBuilder("SetCliente")
                .update({{"CDCLIENTE", client}, {"CDGRUPOFISC", "003"}}, {{"CDCLIENTE", client}, {"CDGRUPOFISC", "004"}})
                .build()});
    const int n = std::stoi(clients);

    struct Case {
        const char *what;
        std::string id;
        QString question;
        clientlib::TMsgDlgType kind;
    };
    const QLocale brazil(QLocale::Portuguese, QLocale::Brazil);
    const Case cases[] = {
        {"the user's own save", mine,
         QStringLiteral("Desfazer a operação %1, feita por %2 em %3 — Gravação na grade de fornecedores de 1 fornecedor?\n\n"
                        "O registro volta a ser como era antes dela.")
             .arg(QString::fromStdString(mine), kRecorded, localMinute(mine)),
         clientlib::mtConfirmation},
        {"another user's registration, one row changed since", registration,
         QStringLiteral("Desfazer a operação %1, feita por Beto (não autenticado) em %2 — Cadastramento automático de %3 clientes?\n\n"
                        "%4 registros voltam a ser como eram antes dela. Fica como está: 1 alterado por uma operação "
                        "posterior.\n\nAtenção: esta operação foi feita por outro usuário (Beto (não autenticado)), não por você.")
             .arg(QString::fromStdString(registration), localMinute(registration), brazil.toString(n),
                  brazil.toString(n - 1)),
         clientlib::mtWarning},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        clearCalls();
        const Shown box = askToUndo(c.id);
        EXPECT_EQ(box.text, c.question);
        EXPECT_EQ(box.messageType, c.kind);
        EXPECT_EQ(box.buttons, clientlib::mbYesNo);
        EXPECT_TRUE(callsOf(QStringLiteral("DesfazOperacao")).isEmpty()) << "nothing is undone without a Yes";
    }
}

// Shuts the server's side of every connection to `port` in this process: what the server
// then answers never reaches the client.
void dropConnectionsTo(std::uint16_t port)
{
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        const int fd = std::atoi(entry.path().filename().c_str());
        sockaddr_in local{}, peer{};
        socklen_t localSize = sizeof local, peerSize = sizeof peer;
        if (getsockname(fd, reinterpret_cast<sockaddr *>(&local), &localSize) == 0 && local.sin_family == AF_INET
            && ntohs(local.sin_port) == port
            && getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &peerSize) == 0)
            shutdown(fd, SHUT_RDWR);
    }
}

// A server that answers the history's calls as the test says.
class FakeHistory {
public:
    using Rows = QList<QStringList>;
    struct Packet {
        QStringList fields;
        Rows rows;
    };

    // With `undoAnswerLost` the undo's answer is no reply at all, as when the connection
    // breaks after the server has done the work.
    FakeHistory(Packet preview, Packet undo, bool undoAnswerLost = false)
    {
        const auto answer = [](const Packet &p) {
            return [p](const QCborArray &, dataset::ValueWriter &w) {
                w.startMap();
                w.key("fields");
                w.startArray();
                for (const QString &f : p.fields) {
                    w.startMap();
                    w.key("name");
                    w.string(f);
                    w.key("size");
                    w.integer(40);
                    w.key("type");
                    w.string(std::string_view("string"));
                    w.endMap();
                }
                w.endArray();
                w.key("rows");
                w.startArray();
                for (const QStringList &row : p.rows) {
                    w.startArray();
                    for (const QString &v : row)
                        w.string(v);
                    w.endArray();
                }
                w.endArray();
                w.endMap();
            };
        };
        const Packet operations{{"IDOPERACAO", "DTOPERACAO", "NMUSUARIO", "NMMETODO", "DSARGUMENTOS", "QTALTERADOS",
                                 "QTINCLUIDOS", "QTEXCLUIDOS", "IDDESFAZ", "IDDESFEITAPOR"},
                                {{"7", "2026-12-08T13:15:30.123Z", kUser, "SetCliente", "[1]", "1", "0", "0", "", ""}}};
        const std::string object = protocol::kHistorico;
        m_dispatcher.add(object, "GetOperacoes", answer(operations));
        m_dispatcher.add(object, "SimulaDesfazOperacao", answer(preview));
        if (undoAnswerLost)
            m_dispatcher.add(object, "DesfazOperacao",
                             [this](const QCborArray &, dataset::ValueWriter &) { dropConnectionsTo(port()); });
        else
            m_dispatcher.add(object, "DesfazOperacao", answer(undo));
        m_server = std::make_unique<rpc::HttpServer>(m_dispatcher);
        m_server->start();
    }
    std::uint16_t port() const { return m_server->port(); }

private:
    rpc::Dispatcher m_dispatcher;
    std::unique_ptr<rpc::HttpServer> m_server;
};

TEST_F(OperacoesTest, AnAnswerThatCannotBeReadIsReportedAndNeverTakenForAResult)
{
    const FakeHistory::Packet preview{{"NMTABELA", "QTREGISTROS", "QTRESTAURADOS", "QTALTERADOSDEPOIS", "QTALTERADOSFORA",
                                       "QTINEXISTENTES"},
                                      {{"CLIENTE", "1", "1", "0", "0", "0"}}};
    const QStringList undoFields{"IDOPERACAO", "QTRESTAURADOS", "QTIGNORADOS", "QTALTERADOSDEPOIS", "QTALTERADOSFORA",
                                 "QTINEXISTENTES"};
    const QString unreadUndo = QStringLiteral("O servidor não informou o que foi desfeito da operação 7. As abas e as "
                                              "operações são lidas de novo: confira nelas o que ficou gravado.");
    const QString lostUndo = QStringLiteral("A operação 7 pode ter sido desfeita antes de a resposta se perder. As abas e "
                                            "as operações são lidas de novo: confira nelas o que ficou gravado.");
    const QString unreadPreview =
        QStringLiteral("O servidor não informou o que desfazer a operação 7 restauraria. Nada foi desfeito.");
    struct Case {
        const char *what;
        FakeHistory::Packet preview, undo;
        QString message;
        bool undoCalled;
        bool answerLost = false;
    };
    const Case cases[] = {
        {"the preview has no rows", {preview.fields, {}}, {undoFields, {{"8", "1", "0", "0", "0", "0"}}}, unreadPreview, false},
        {"the preview lacks the reasons", {preview.fields.mid(0, 3), {{"CLIENTE", "1", "1"}}},
         {undoFields, {{"8", "1", "0", "0", "0", "0"}}}, unreadPreview, false},
        {"the undo has no rows", preview, {undoFields, {}}, unreadUndo, true},
        {"the undo has two rows", preview, {undoFields, {{"8", "1", "0", "0", "0", "0"}, {"9", "1", "0", "0", "0", "0"}}},
         unreadUndo, true},
        {"the undo lacks the reasons", preview, {undoFields.mid(0, 3), {{"8", "1", "0"}}}, unreadUndo, true},
        {"a count that is not a number", preview, {undoFields, {{"8", "um", "0", "0", "0", "0"}}}, unreadUndo, true},
        {"reasons that do not add up", preview, {undoFields, {{"8", "0", "2", "1", "0", "0"}}}, unreadUndo, true},
        {"the answer is lost", preview, {}, lostUndo, true, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        FakeHistory fake(c.preview, c.undo, c.answerLost);
        clientlib::Settings::instance().setServerPort(fake.port());
        QStringList reloaded;
        bool reloadAsked = false;
        TfrmOperacoes dialog({[&](const QStringList &) { return reloadAsked = true; },
                              [&](const QStringList &tables) { reloaded = tables; }});
        dialog.Atualiza();
        ASSERT_EQ(dialog.tblOperacoes->rowCount(), 1);
        script->clear();
        clearCalls();
        if (c.undoCalled)
            script->push(Answer::yes());
        dialog.Desfazer();
        EXPECT_TRUE(script->problems().isEmpty()) << script->problems().join('\n').toStdString();
        EXPECT_TRUE(script->messages().value(script->messages().size() - 1).endsWith(c.message))
            << script->messages().join('\n').toStdString();
        EXPECT_EQ(script->shown().last().messageType, clientlib::mtError);
        EXPECT_EQ(callsOf(QStringLiteral("DesfazOperacao")).size(), c.undoCalled ? 1 : 0);
        // When the undo may have run, what it may have written is read again.
        EXPECT_EQ(reloadAsked, c.undoCalled);
        EXPECT_EQ(reloaded, c.undoCalled ? QStringList{QStringLiteral("CLIENTE")} : QStringList());
    }
    clientlib::Settings::instance().setServerPort(server->port());
}

// The undo may restore more than its preview said (another user undid meanwhile what held
// FILIAL's rows back): every table of the operation is asked about and read again.
TEST_F(OperacoesTest, EveryTableOfTheOperationIsReadAgainAfterTheUndo)
{
    const FakeHistory::Packet preview{{"NMTABELA", "QTREGISTROS", "QTRESTAURADOS", "QTALTERADOSDEPOIS", "QTALTERADOSFORA",
                                       "QTINEXISTENTES"},
                                      {{"CLIENTE", "1", "1", "0", "0", "0"}, {"FILIAL", "1", "0", "1", "0", "0"}}};
    const FakeHistory::Packet undo{{"IDOPERACAO", "QTRESTAURADOS", "QTIGNORADOS", "QTALTERADOSDEPOIS", "QTALTERADOSFORA",
                                    "QTINEXISTENTES"},
                                   {{"8", "2", "0", "0", "0", "0"}}};
    FakeHistory fake(preview, undo);
    clientlib::Settings::instance().setServerPort(fake.port());
    QStringList asked, reloaded;
    TfrmOperacoes dialog({[&](const QStringList &tables) { asked = tables; return true; },
                          [&](const QStringList &tables) { reloaded = tables; }});
    dialog.Atualiza();
    ASSERT_EQ(dialog.tblOperacoes->rowCount(), 1);
    script->push(Answer::yes());
    dialog.Desfazer();
    EXPECT_EQ(asked, (QStringList{QStringLiteral("CLIENTE"), QStringLiteral("FILIAL")}));
    EXPECT_EQ(reloaded, asked);
    clientlib::Settings::instance().setServerPort(server->port());
}

} // namespace
} // namespace fiscal::test
