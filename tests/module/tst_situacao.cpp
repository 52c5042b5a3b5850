// "Situação em…" from the main screen against a real server, and the print and export of the
// history's windows: the tab as it was at a moment beside today, the filter of what
// changed, the files written read back as another program would.

#include "modulefixture.h"
#include "../reports/readback.h"

#include "Pkg_Ger10200/historico/historico.h"
#include "Pkg_Ger10200/historico/situacaoem.h"
#include "dataset/clientdataset.h"
#include "vcl/dbgrid.h"

#include <QCheckBox>
#include <QDateTimeEdit>
#include <QFile>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QToolButton>

namespace fiscal::test {
namespace {

using clientlib::Answer;
using ger10200::TfrmHistoricoRegistro;
using ger10200::TfrmMomentoSituacao;
using ger10200::TfrmOperacoes;
using ger10200::TfrmSituacaoEm;

QString utc(const QDateTime &t) { return t.toUTC().toString(Qt::ISODateWithMs); }
QString local(const QDateTime &t, const char *format) { return t.toLocalTime().toString(QString::fromLatin1(format)); }

QList<QStringList> csvRows(const QString &path)
{
    QFile f(path);
    return parseCsv(f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray());
}

// Two suppliers changed two days ago, an hour apart, in the history and in the table:
// the first from its group to `groupA`, the second to `groupB`.
class SituacaoTest : public OpenScreenTest {
protected:
    void SetUp() override
    {
        OpenScreenTest::SetUp();
        if (HasFatalFailure())
            return;
        ASSERT_TRUE(dir.isValid());
        const auto rows = db->query("SELECT CDFORNECED, CDGRUPOFISC FROM FORNECEDOR WHERE CDGRUPOFISC IS NOT NULL"
                                    " AND CDGRUPOFISC NOT IN ('001', '002') ORDER BY CDFORNECED LIMIT 2");
        ASSERT_EQ(rows.size(), 2u);
        const QDateTime now = QDateTime::currentDateTimeUtc();
        first = QDateTime(now.date().addDays(-2), QTime(now.time().hour(), now.time().minute()), Qt::UTC);
        const char *groups[] = {"001", "002"};
        for (int i = 0; i < 2; ++i) {
            supplier[i] = QString::fromStdString(*rows[std::size_t(i)][0]);
            before[i] = QString::fromStdString(*rows[std::size_t(i)][1]);
            const std::string id = std::to_string(i + 1);
            const std::string when = utc(first.addSecs(3600 * i)).toStdString();
            db->exec("INSERT INTO HISTOPERACAO (IDOPERACAO, DTOPERACAO, NMUSUARIO, NMMETODO, DSARGUMENTOS, QTALTERADOS,"
                     " QTINCLUIDOS, QTEXCLUIDOS) VALUES ($1, $2, 'ana', 'SetFornecedor', '[1]', 1, 0, 0)", {id, when});
            db->exec("INSERT INTO HISTITEM (IDOPERACAO, NMTABELA, CDCHAVE1, CDCHAVE2, CDCHAVE3, CDCHAVE4, CDGRUPOANT,"
                     " CDGRUPONOVO, IDACAO) VALUES ($1, 'FORNECEDOR', $2, '', '', '', $3, $4, 'A')",
                     {id, supplier[i].toStdString(), before[i].toStdString(), groups[i]});
            db->exec("UPDATE FORNECEDOR SET CDGRUPOFISC = $1 WHERE CDFORNECED = $2", {groups[i], supplier[i].toStdString()});
        }
    }

    QString groupCell(const QString &code) const
    {
        return code + QStringLiteral(" - ")
            + QString::fromStdString(db->scalar("SELECT DSGRUPOFISC FROM GRUPOFISCAL WHERE CDGRUPOFISC = $1",
                                                {code.toStdString()}).value_or(""));
    }

    // Answers the moment's dialog with `moment` (local time).
    void answerMoment(const QDateTime &moment)
    {
        script->push(Answer::dialog([moment](QDialog &d) {
            auto *ask = qobject_cast<TfrmMomentoSituacao *>(&d);
            ASSERT_TRUE(ask);
            ask->dtpMomento->setDateTime(moment.toLocalTime());
            ask->sbtConfirma->click();
        }));
    }

    // The texts of a supplier's row in the window, by column title.
    static QMap<QString, QString> shownRow(TfrmSituacaoEm &w, const QString &code)
    {
        QMap<QString, QString> out;
        dataset::TClientDataSet *cds = w.cdsSituacao;
        const int key = cds->FieldByName(QStringLiteral("CDFORNECED"))->Index();
        for (int r = 0; r < cds->rowCount(); ++r) {
            if (cds->valueAt(r, key) != code)
                continue;
            const QAbstractItemModel *m = w.dbgSituacao->model();
            for (int c = 0; c < m->columnCount(); ++c)
                out[m->headerData(c, Qt::Horizontal).toString()] = m->index(w.dbgSituacao->displayRow(r), c).data().toString();
        }
        return out;
    }

    QTemporaryDir dir;
    QDateTime first;   // the first operation, UTC
    QString supplier[2], before[2];
};

TEST_F(SituacaoTest, TheTabAsItWasBesideTodayFilteredAndExported)
{
    const QDateTime moment = first.addSecs(1800);   // between the two changes
    answerMoment(moment);
    QList<QMap<QString, QString>> shown;
    int all = 0, changedOnly = 0;
    QList<QStringList> csv;
    QString title, pdf;
    script->push(Answer::dialog([&](QDialog &d) {
        auto *w = qobject_cast<TfrmSituacaoEm *>(&d);
        ASSERT_TRUE(w);
        title = w->windowTitle();
        shown << shownRow(*w, supplier[0]) << shownRow(*w, supplier[1]);
        all = w->cdsSituacao->RecordCount();
        w->chkSomenteMudaram->click();
        changedOnly = w->cdsSituacao->RecordCount();
        const QString path = dir.filePath(QStringLiteral("situacao.csv"));
        script->push(Answer::saveAs(path));
        w->sbtExportar->click();
        csv = csvRows(path);
        const QString pdfPath = dir.filePath(QStringLiteral("situacao.pdf"));
        script->push(Answer::saveAs(pdfPath, QStringLiteral("Documento PDF (*.pdf)")));
        w->sbtExportar->click();
        pdf = pdfText(pdfPath);
    }));
    triggerMenu(frm->mnuSituacaoEm);
    EXPECT_TRUE(script->problems().isEmpty()) << script->problems().join('\n').toStdString();

    const QString when = local(moment, "dd/MM/yyyy HH:mm");
    EXPECT_EQ(title, QStringLiteral("Situação em ") + when);
    EXPECT_TRUE(pdf.contains(QStringLiteral("Situação em ") + when)) << pdf.left(400).toStdString();
    EXPECT_EQ(all, int(db->count("SELECT COUNT(*) FROM FORNECEDOR")));
    ASSERT_EQ(shown.size(), 2);
    // Changed before the moment: its group then is today's, with who changed it and when.
    EXPECT_EQ(shown[0].value(QStringLiteral("Grupo Fiscal")), groupCell(QStringLiteral("001")));
    EXPECT_EQ(shown[0].value(QStringLiteral("Hoje")), QString());
    EXPECT_EQ(shown[0].value(QStringLiteral("Alterado em")), local(first, "dd/MM/yyyy HH:mm:ss"));
    EXPECT_EQ(shown[0].value(QStringLiteral("Por")), QStringLiteral("ana"));
    // Changed after it: the group it had, and today's beside it.
    EXPECT_EQ(shown[1].value(QStringLiteral("Grupo Fiscal")), groupCell(before[1]));
    EXPECT_EQ(shown[1].value(QStringLiteral("Hoje")), groupCell(QStringLiteral("002")));
    EXPECT_EQ(shown[1].value(QStringLiteral("Alterado em")), QString());

    EXPECT_EQ(changedOnly, 1);
    // What the rows are heads the file, as it heads the printout.
    ASSERT_EQ(csv.size(), 4) << "the context, a blank line, the titles and the one row that changed";
    EXPECT_EQ(csv[0].value(0), QStringLiteral("Somente os registros cujo grupo mudou desde então"));
    EXPECT_TRUE(csv[3].contains(groupCell(before[1])));
    EXPECT_TRUE(csv[3].contains(groupCell(QStringLiteral("002"))));
}

// Before the history's first operation the situation cannot be told: said in local time,
// and the moment asked again.
TEST_F(SituacaoTest, AMomentBeforeTheHistoryIsAskedAgain)
{
    answerMoment(first.addDays(-1));
    script->push(Answer::dialog([](QDialog &d) { EXPECT_TRUE(qobject_cast<TfrmMomentoSituacao *>(&d)); }, false));
    triggerMenu(frm->mnuSituacaoEm);
    EXPECT_EQ(script->messages(),
              QStringList{QStringLiteral("O histórico de alterações só está completo a partir de %1. Escolha um "
                                         "momento a partir desse.").arg(local(first, "dd/MM/yyyy HH:mm"))});
    EXPECT_TRUE(callsOf(QStringLiteral("GetSituacaoEm")).size() == 1);
}

// A first operation within a minute: the box takes no seconds, so the message names the next
// whole minute and the box asks again from there, which the history answers for.
TEST_F(SituacaoTest, TheMomentOfferedAfterARefusalIsOneTheHistoryAnswersFor)
{
    db->exec("UPDATE HISTOPERACAO SET DTOPERACAO = $1 WHERE IDOPERACAO = 1", {utc(first.addMSecs(30123)).toStdString()});
    answerMoment(first.addDays(-1));
    QDateTime offered;
    script->push(Answer::dialog([&offered](QDialog &d) {
        auto *ask = qobject_cast<TfrmMomentoSituacao *>(&d);
        ASSERT_TRUE(ask);
        offered = ask->Momento();
        ask->sbtConfirma->click();
    }));
    script->push(Answer::dialog([](QDialog &d) { EXPECT_TRUE(qobject_cast<TfrmSituacaoEm *>(&d)); }, false));
    triggerMenu(frm->mnuSituacaoEm);
    EXPECT_EQ(script->messages(),
              QStringList{QStringLiteral("O histórico de alterações só está completo a partir de %1. Escolha um "
                                         "momento a partir desse.").arg(local(first.addSecs(60), "dd/MM/yyyy HH:mm"))});
    EXPECT_EQ(offered.toUTC(), first.addSecs(60));
    EXPECT_EQ(callsOf(QStringLiteral("GetSituacaoEm")).size(), 2);
}

// A first operation seconds ago: its next whole minute has not come, so the box is not
// offered again (it would refuse that minute itself).
TEST_F(SituacaoTest, AHistoryBegunLessThanAMinuteAgoIsSaidAndNotAskedAgain)
{
    // Ahead of this computer's clock by less than a minute, as a database's clock may be.
    const QDateTime firstOp = QDateTime::currentDateTimeUtc().addSecs(20);
    db->exec("UPDATE HISTOPERACAO SET DTOPERACAO = $1", {utc(firstOp).toStdString()});
    answerMoment(first.addDays(-1));
    triggerMenu(frm->mnuSituacaoEm);
    QDateTime next = firstOp.toLocalTime();
    next.setTime(QTime(next.time().hour(), next.time().minute()));
    next = next.addSecs(60);
    EXPECT_EQ(script->messages(),
              QStringList{QStringLiteral("O histórico de alterações começou há menos de um minuto: a partir de %1 "
                                         "haverá uma situação passada a mostrar.").arg(local(next, "dd/MM/yyyy HH:mm"))});
    EXPECT_EQ(callsOf(QStringLiteral("GetSituacaoEm")).size(), 1);
}

// The record's history and the recent operations export the rows they show.
TEST_F(SituacaoTest, HistoryWindowsExportTheirRows)
{
    struct Case {
        const char *file;
        QAction *menu;
        std::function<QTableWidget *(QDialog &)> table;
        std::function<bool(QDialog &)> loaded;
    };
    const Case cases[] = {
        {"registro.csv", frm->mnuHistorico,
         [](QDialog &d) { return static_cast<TfrmHistoricoRegistro &>(d).tblHistorico; },
         [](QDialog &d) { return static_cast<TfrmHistoricoRegistro &>(d).isLoaded(); }},
        {"operacoes.xlsx", frm->mnuOperacoes,
         [](QDialog &d) { return static_cast<TfrmOperacoes &>(d).tblOperacoes; },
         [](QDialog &d) { return static_cast<TfrmOperacoes &>(d).isLoaded(); }},
    };
    focusCell(frm->dbgPadrao, rowOf(frm->dbgPadrao, QStringLiteral("CDFORNECED"), supplier[0]),
              QStringLiteral("NOME"));
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file);
        QList<QStringList> shown, written;
        script->push(Answer::dialog([&](QDialog &d) {
            ASSERT_TRUE(waitFor([&] { return c.loaded(d); }));
            QTableWidget *t = c.table(d);
            for (int r = 0; r < t->rowCount(); ++r) {
                QStringList row;
                for (int col = 0; col < t->columnCount(); ++col)
                    row << (t->item(r, col) ? t->item(r, col)->text() : QString());
                shown << row;
            }
            const QString path = dir.filePath(QString::fromLatin1(c.file));
            script->push(Answer::saveAs(path));
            d.findChild<QToolButton *>(QStringLiteral("sbtExportar"))->click();
            written = path.endsWith(QLatin1String(".csv")) ? csvRows(path) : xlsxSheetRows(path);
        }));
        triggerMenu(c.menu);
        EXPECT_TRUE(script->problems().isEmpty()) << script->problems().join('\n').toStdString();
        ASSERT_FALSE(written.isEmpty());
        written.removeFirst();   // the titles
        for (QStringList &r : written)
            while (r.size() < shown.value(0).size())
                r << QString();
        EXPECT_EQ(written, shown);
        EXPECT_GE(shown.size(), 1);
        script->clear();
    }
}

} // namespace
} // namespace fiscal::test
