// The module's lookups on both roads in the same run: through the server (a desktop with no
// database) and straight to the database. A code field's check, repeated (p50 and p99), and
// the 500,000-client list of "Cadastramento Automático Imposto/Inscrição Estadual" from the
// click on its search button to the list drawn, against the raw query as a process of its own.
//
//   bench_lookups --db DB --server FISCAL_SERVER [--out FILE] [--checks 2000] [--budget 600] [--list no]

#include "benchsupport.h"

#include "Pkg_Ger10200/cadastroinscricao/frmcadautoimpinscesta.h"
#include "clientlib/adoibquery.h"
#include "clientlib/btnpesquisa.h"
#include "clientlib/choicedialog.h"
#include "clientlib/dbgeral.h"
#include "clientlib/forms.h"
#include "clientlib/settings.h"
#include "protocol/lookups.h"

#include <QApplication>
#include <QTimer>

#include <iostream>
#include <tuple>

using namespace fiscal;
using namespace fiscal::bench;

namespace {

void useRoad(const std::string &db, bool direct)
{
    clientlib::Settings::instance().setDatabase(direct ? QString::fromStdString(db) : QString());
    clientlib::dtmDBGeral().close();
}

// One code field's check, as the screens run it: the query closed, its code set, opened.
std::vector<double> checks(int n, const Deadline &deadline)
{
    const protocol::Lookup &l = protocol::findLookup(protocol::lookup::kGrupoFiscal);
    clientlib::TADOIBQuery qry;
    qry.setSQL(QString::fromUtf8(l.sql));
    qry.setConsulta(QString::fromUtf8(l.name));
    std::vector<double> times;
    for (int i = 0; i < n && !deadline.passed(); ++i) {
        const auto t0 = Clock::now();
        qry.Close();
        qry.ParamByName(QStringLiteral("P_CDGRUPOFISC")).setAsString(QStringLiteral("%1").arg(i % 20 + 1, 3, 10, QLatin1Char('0')));
        qry.Open();
        times.push_back(secondsSince(t0));
    }
    return times;
}

// Click on the clients' search button to the list drawn; the list is then closed.
double openList(QApplication &app)
{
    auto *dialog = clientlib::CreateForm<ger10200::TfrmCadAutoImpInscEsta>(nullptr);
    dialog->show();
    app.processEvents();
    double opened = 0;
    Clock::time_point clicked;
    QTimer poll;
    poll.setInterval(1);
    QObject::connect(&poll, &QTimer::timeout, &poll, [&] {
        auto *list = qobject_cast<clientlib::ChoiceDialog *>(QApplication::activeModalWidget());
        if (!list || !list->isVisible())
            return;
        poll.stop();
        list->repaint();
        opened = secondsSince(clicked);
        list->reject();
    });
    poll.start();
    clicked = Clock::now();
    dialog->btpCliente->click();
    poll.stop();
    dialog->close();
    delete dialog;
    app.processEvents();
    if (opened == 0)
        throw std::runtime_error("the list did not come up");
    return opened;
}

} // namespace

int main(int argc, char **argv)
try {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const Options o = Options::parse(argc, argv);
    const std::string db = o.require("db");
    const Deadline deadline(o.number("budget", 600));
    const int n = o.integer("checks", 2000);
    // Without the list: the checks alone, for looking into their tail.
    const bool withList = o.get("list") != "no";

    ServerChild server(o.require("server"), db);
    auto &settings = clientlib::Settings::instance();
    settings.setServerHost(QStringLiteral("127.0.0.1"));
    settings.setServerPort(server.port());

    // Alternating roads, so that neither gets a warmer machine.
    auto rounds = [&](std::vector<double> &direct, std::vector<double> &remote, std::vector<double> *listDirect,
                      std::vector<double> *listRemote) {
        for (int round = 0; round < 3 && !deadline.passed(); ++round) {
            for (bool d : {true, false}) {
                useRoad(db, d);
                const std::vector<double> t = checks(n / 3, deadline);
                (d ? direct : remote).insert((d ? direct : remote).end(), t.begin(), t.end());
                if (listDirect)
                    (d ? listDirect : listRemote)->push_back(openList(app));
            }
        }
    };
    std::vector<double> direct;
    std::vector<double> remote;
    std::vector<double> listDirect;
    std::vector<double> listRemote;
    rounds(direct, remote, withList ? &listDirect : nullptr, &listRemote);
    // The same checks with the desktop and the server on one core. On this virtual machine a
    // process woken on the other, idle core may wait milliseconds for it: the tail above is
    // then the machine's, on both roads, and this one is the lookup's own.
    pinToCpu(0, 0);
    pinToCpu(server.pid(), 0);
    std::vector<double> directOneCore;
    std::vector<double> remoteOneCore;
    rounds(directOneCore, remoteOneCore, nullptr, nullptr);
    if (deadline.passed())
        throw std::runtime_error("out of time");

    if (!withList) {
        for (const auto &[label, d, r] : {std::tuple{"", &direct, &remote}, std::tuple{"one core: ", &directOneCore, &remoteOneCore}})
            std::cout << label << "checks: direct p50 " << fmtMs(median(*d)) << " p99 " << fmtMs(percentile(*d, 99))
                      << ", through the server p50 " << fmtMs(median(*r)) << " p99 " << fmtMs(percentile(*r, 99))
                      << "\n";
        return 0;
    }
    const ProcessRun raw = runProcess({"sqlite3", "-csv", db, protocol::findLookup(protocol::lookup::kClientes).sql});
    if (raw.exitCode != 0)
        throw std::runtime_error("the raw query failed");

    const double p99Direct = percentile(direct, 99);
    const double p99Remote = percentile(remote, 99);
    const double openDirect = median(listDirect);
    const double openRemote = median(listRemote);
    Report report("The lookups through the server (" + engineName(db) + ")");
    report.add({"A code field's check, cores as the system gives them, p99 of " + std::to_string(remote.size()) + " (p50 " +
                    fmtMs(median(remote)) + " through the server, " + fmtMs(median(direct)) + " direct)",
                fmtMs(p99Direct), fmtMs(p99Remote), p99Remote / p99Direct, "≤ 2 ms", p99Remote <= 0.002, ""});
    const double p99DirectOne = percentile(directOneCore, 99);
    const double p99RemoteOne = percentile(remoteOneCore, 99);
    report.add({"The same checks with desktop and server on one core, p99 of " + std::to_string(remoteOneCore.size()) +
                    " (p50 " + fmtMs(median(remoteOneCore)) + " through the server, " + fmtMs(median(directOneCore)) +
                    " direct)",
                fmtMs(p99DirectOne), fmtMs(p99RemoteOne), p99RemoteOne / p99DirectOne, "≤ 2 ms", p99RemoteOne <= 0.002,
                ""});
    report.add({"Clients' search clicked to the list drawn, through the server (median of " +
                    std::to_string(listRemote.size()) + ")",
                fmtMs(openDirect), fmtMs(openRemote), openRemote / openDirect, "≤ 1.3×", openRemote <= 1.3 * openDirect,
                "raw query alone: " + fmtMs(raw.seconds)});
    report.addNote("Raw: the same step on the direct road (the host given the database), in the same process and "
                   "run, the roads alternating. Ours: the host without a database, the lookup going to "
                   "Ger10207.rdmConsultas on a fiscal-server on loopback. The check is the fiscal-group code "
                   "field's (GrupoFiscal), query closed and opened with a new code each time; then the same checks "
                   "with every thread of the benchmark and of the server pinned to CPU 0. Spread of the list: "
                   "direct " + fmtSpread(listDirect) + ", through the server " + fmtSpread(listRemote) + ".");
    report.write(o.get("out"));
    return 0;
} catch (const std::exception &e) {
    std::cerr << "bench_lookups: " << e.what() << "\n";
    return 1;
}
