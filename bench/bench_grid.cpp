// The main screen's client grid on the large demo (500,000 clients), driven in this process
// as a user drives it (offscreen): a page drawn, Ctrl+End to the last row, clicks on a
// column title, and the find bar (Ctrl+F, a text, Enter or F3). Every action is timed
// until the grid has been drawn again. The server runs as its own process.
//
//   bench_grid --db large.sqlite --server FISCAL_SERVER [--out FILE] [--runs 5] [--screenshot PNG]
//
// --screenshot saves the host window at the end: the grid sorted by trade name, Z to A,
// with the find bar open on a registration number.

#include "benchsupport.h"
#include "mainscreen.h"

#include "Pkg_Ger10200/mainscreen/frmparamgrupfiscal.h"
#include "clientlib/interaction.h"
#include "scriptedinteraction.h"
#include "dataset/clientdataset.h"
#include "vcl/dbgrid.h"

#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QTest>

#include <algorithm>
#include <iostream>
#include <unordered_map>
#include <malloc.h>
#include <unistd.h>

using namespace fiscal;
using namespace fiscal::bench;

namespace {

using Grid = vcl::TDBGrid;

void drawn(Grid *grid)
{
    QCoreApplication::sendPostedEvents();
    grid->viewport()->repaint();
}

template <class Action>
double timed(Grid *grid, Action &&action)
{
    const auto t0 = Clock::now();
    action();
    drawn(grid);
    return secondsSince(t0);
}

void clickTitle(Grid *grid, int column)
{
    QHeaderView *h = grid->horizontalHeader();
    const QPoint at(h->sectionViewportPosition(column) + h->sectionSize(column) / 2, h->height() / 2);
    QTest::mouseClick(h->viewport(), Qt::LeftButton, {}, at);
}

void toTop(Grid *grid)
{
    grid->setFocus();
    QTest::keyClick(grid, Qt::Key_Home, Qt::ControlModifier);
    drawn(grid);
}

QString cell(Grid *grid, const char *field)
{
    dataset::TClientDataSet *ds = grid->DataSource()->DataSet();
    return ds->FieldByName(QString::fromLatin1(field))->AsString();
}

struct Measure {
    std::string what;
    std::vector<double> seconds;
    double goal = 0;   // seconds; 0: reported only
};


} // namespace

int main(int argc, char **argv)
try {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    const Options o = Options::parse(argc, argv);
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    const std::string db = o.require("db");
    const int runs = o.integer("runs", 5);

    ServerChild server(o.require("server"), db);
    clientlib::InteractionScope quiet(std::make_unique<clientlib::ScriptedInteraction>());
    MainScreen screen(server.port(), db);
    ger10200::TfrmParamGrupFiscal *frm = screen.form();
    Grid *grid = frm->dbgCliente;
    dataset::TClientDataSet *ds = frm->cdsCliente;
    const int rows = ds->RecordCount();
    toTop(grid);

    // What to look for: a trade name held by one client only, about half-way down (typed
    // key by key, so plain letters); the registration numbers of clients further down.
    const int nameField = ds->FieldByName(QStringLiteral("NMFANTCLIE"))->Index();
    const int numberField = ds->FieldByName(QStringLiteral("NRINSJURCLIE"))->Index();
    const int typeField = ds->FieldByName(QStringLiteral("IDTPIJURCLIE"))->Index();
    std::unordered_map<QString, int> names;
    for (int r = 0; r < rows; ++r)
        ++names[ds->rowRef(r).text(nameField)];
    QString uniqueName;
    for (int r = rows / 2; r < rows && uniqueName.isEmpty(); ++r) {
        const QString n = ds->rowRef(r).text(nameField);
        const bool plain = std::all_of(n.begin(), n.end(), [](QChar c) { return c.unicode() < 0x80; });
        if (n.size() > 8 && plain && names[n] == 1)
            uniqueName = n;
    }
    auto companyAt = [&](int from) {
        for (int r = from; r < rows; ++r) {
            if (ds->rowRef(r).text(typeField) == u"J")
                return ds->rowRef(r).text(numberField);
        }
        throw std::runtime_error("no company client");
    };
    const QString bare = companyAt(rows * 4 / 5);
    const QString other = companyAt(rows * 3 / 5);
    const QString formatted = QStringLiteral("%1.%2.%3/%4-%5")
                                  .arg(other.mid(0, 2), other.mid(2, 3), other.mid(5, 3), other.mid(8, 4), other.mid(12, 2));
    if (uniqueName.isEmpty())
        throw std::runtime_error("no client with a name of its own");

    const int nameColumn = grid->Columns().IndexOfField(QStringLiteral("NMFANTCLIE"));
    const int numberColumn = grid->Columns().IndexOfField(QStringLiteral("NRINSJURCLIE"));
    Measure paint{"Drawing a page of the grid", {}, 0};
    Measure last{"Ctrl+End: to the last of " + fmtCount(rows) + " rows", {}, 0};
    Measure sortUp{"Click on \"Nome Fantasia\": sorted A to Z", {}, 0.3};
    Measure sortDown{"Second click: sorted Z to A", {}, 0.3};
    Measure sortNumber{"Click on \"Inscrição\": sorted by registration number", {}, 0.3};
    Measure openBar{"Ctrl+F: the find bar opens, the rows' text folded for finding", {}, 0};
    Measure byName{"Find a name half-way down (Enter)", {}, 0.02};
    Measure byBare{"Find a bare CNPJ four fifths down", {}, 0.02};
    Measure byFormatted{"Find a formatted CNPJ three fifths down", {}, 0.02};
    Measure next{"F3: the next client whose text holds \"mercado\"", {}, 0.02};
    Measure typing{"Typing a name in the find bar, per key (slowest key)", {}, 0.02};
    Measure missing{"A text no row holds: every row read, \"Texto não encontrado\"", {}, 0.02};

    long indexKiB = 0;
    QTest::keyClick(grid, Qt::Key_F, Qt::ControlModifier);
    auto *bar = grid->FindBar();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    auto *edit = bar->findChild<QLineEdit *>(QStringLiteral("findText"));
    auto findFromTop = [&](const QString &text, Measure *m, const QString &expectName, const QString &expectNumber) {
        toTop(grid);
        edit->setFocus();
        edit->setText(text);
        const double t = timed(grid, [&] { QTest::keyClick(edit, Qt::Key_Return); });
        if (m)
            m->seconds.push_back(t);
        if ((!expectName.isEmpty() && cell(grid, "NMFANTCLIE") != expectName)
            || (!expectNumber.isEmpty() && cell(grid, "NRINSJURCLIE") != expectNumber))
            throw std::runtime_error("the find bar stopped on the wrong row: " + text.toStdString());
    };

    for (int i = 0; i < runs; ++i) {
        grid->setFocus();
        paint.seconds.push_back(timed(grid, [] {}));
        last.seconds.push_back(timed(grid, [&] { QTest::keyClick(grid, Qt::Key_End, Qt::ControlModifier); }));
        if (ds->RecNo() != ds->RecordCount())
            throw std::runtime_error("Ctrl+End did not reach the last row");
        toTop(grid);

        sortUp.seconds.push_back(timed(grid, [&] { clickTitle(grid, nameColumn); }));
        sortDown.seconds.push_back(timed(grid, [&] { clickTitle(grid, nameColumn); }));
        if (grid->sortColumn() != nameColumn || grid->sortOrder() != Qt::DescendingOrder)
            throw std::runtime_error("the title clicks did not sort");
        sortNumber.seconds.push_back(timed(grid, [&] { clickTitle(grid, numberColumn); }));
        grid->clearSort();
        toTop(grid);

        malloc_trim(0);   // what the last bar held goes back first
        const long before = residentKiB(getpid());
        openBar.seconds.push_back(timed(grid, [&] { QTest::keyClick(grid, Qt::Key_F, Qt::ControlModifier); }));
        indexKiB = std::max(indexKiB, residentKiB(getpid()) - before);
        findFromTop(uniqueName, &byName, uniqueName, {});
        findFromTop(bare, &byBare, {}, bare);
        findFromTop(formatted, &byFormatted, {}, other);
        findFromTop(QStringLiteral("mercado"), nullptr, {}, {});
        for (int k = 0; k < 5; ++k)
            next.seconds.push_back(timed(grid, [&] { QTest::keyClick(edit, Qt::Key_F3); }));
        toTop(grid);
        edit->clear();
        double slowest = 0;
        for (QChar c : uniqueName)
            slowest = std::max(slowest, timed(grid, [&] { QTest::keyClick(edit, c.toLatin1()); }));
        typing.seconds.push_back(slowest);
        findFromTop(QStringLiteral("zzqxw não"), &missing, {}, {});
        if (!bar->findChild<QLabel *>(QStringLiteral("findStatus"))->text().contains(QStringLiteral("não encontrado")))
            throw std::runtime_error("a missing text was not reported");
        QTest::keyClick(edit, Qt::Key_Escape);
    }

    Report report("The client grid at " + fmtCount(rows) + " rows (SQLite)");
    std::string spreads = "Spread of the runs: ";
    for (const Measure *m : {&paint, &last, &sortUp, &sortDown, &sortNumber, &openBar, &byName, &byBare, &byFormatted,
                             &next, &typing, &missing}) {
        const double med = median(m->seconds);
        ResultRow r{m->what + " (median of " + std::to_string(m->seconds.size()) + ")", "", fmtMs(med), 0,
                    m->goal > 0 ? "≤ " + fmtMs(m->goal) : "(reported)", {}, ""};
        if (m->goal > 0)
            r.met = med <= m->goal;
        report.add(r);
        spreads += (m == &paint ? "" : "; ") + fmtSpread(m->seconds);
    }
    report.addNote(spreads + " (in the order of the table).");
    report.addNote("The find bar's folded text of the " + fmtCount(rows) + " rows, made when it opens (or when the"
                   " rows or their order change while it is open) and dropped when it closes: about "
                   + fmtMiB(indexKiB) + " of resident memory.");
    report.addNote("The module's main screen in this process (offscreen, 1024×600 host window) against"
                   " fiscal-server, on the tab \"Cliente\". Each time runs from the key or click until"
                   " the grid has been drawn again; no raw side (the database has no grid). Sorting and"
                   " finding are views: the data set keeps its order, cursor and change log.");
    report.write(o.get("out"));
    if (!o.get("screenshot").empty()) {
        clickTitle(grid, nameColumn);
        clickTitle(grid, nameColumn);
        QTest::keyClick(grid, Qt::Key_F, Qt::ControlModifier);
        edit->setText(formatted);
        QTest::keyClick(edit, Qt::Key_Return);
        drawn(grid);
        screen.window().grab().save(QString::fromStdString(o.get("screenshot")));
    }
    return 0;
} catch (const std::exception &e) {
    std::cerr << "bench_grid: " << e.what() << "\n";
    return 1;
}
