#include "Pkg_Ger10200/importacao/frmimportaplanilha.h"

#include "Pkg_Ger10200/importacao/linespacket.h"
#include "Pkg_Ger10200/serverlink/netremoteobject.h"
#include "Pkg_Ger10200/shared/packetrow.h"

#include "clientlib/checkresult.h"
#include "clientlib/interaction.h"
#include "clientlib/messages.h"
#include "clientlib/netconnection.h"
#include "dataset/packet.h"
#include "help/help.h"
#include "protocol/importcalls.h"
#include "protocol/objects.h"
#include "reports/spreadsheet.h"
#include "vcl/cursor.h"
#include "vcl/dialogkeys.h"
#include "vcl/guard.h"

#include <QCborArray>
#include <QCborMap>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QRegularExpression>
#include <QSaveFile>
#include <QShortcut>
#include <QTableWidget>
#include <QVBoxLayout>

#include <functional>
#include <optional>
#include <stdexcept>

namespace fiscal::ger10200 {

namespace {

namespace imp = protocol::importing;
using clientlib::interaction;

const QString kTitle = QStringLiteral("Importar planilha");
constexpr int kSampleRows = 50;
// Errors listed in the dialog: a file with every line wrong (the wrong tab, a group not yet
// registered) would make a row of widgets per line, hundreds of MB and seconds of a frozen
// window. "Exportar erros..." writes them all.
constexpr std::size_t kShownErrors = 1000;

QString number(std::int64_t n)
{
    return QLocale(QLocale::Portuguese, QLocale::Brazil).toString(qlonglong(n));
}

// The server names the lines it was sent by their place among them ("Linha 3: ...",
// "... (linha 12)"); the person knows them by their line in the file, which title rows, empty
// rows and lines left out shift. `lineOf` gives the file's line of a 1-based place.
QString inFileLines(const QString &text, const std::function<std::int64_t(std::int64_t)> &lineOf)
{
    static const QRegularExpression place(QStringLiteral("(^Linha |\\(linha )(\\d+)([:)])"));
    QString out;
    qsizetype from = 0;
    for (auto it = place.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        const std::int64_t line = lineOf(m.captured(2).toLongLong());
        out += text.mid(from, m.capturedStart() - from) + m.captured(1)
               + (line > 0 ? QString::number(line) : m.captured(2)) + m.captured(3);
        from = m.capturedEnd();
    }
    return out + text.mid(from);
}

// "A", "B", ... "AA" for a 0-based column.
QString columnName(int c)
{
    QString name;
    for (++c; c > 0; c = (c - 1) / 26)
        name.prepend(QChar(u'A' + (c - 1) % 26));
    return name;
}

QTableWidget *table(QWidget *parent, const char *name, const QStringList &titles)
{
    auto *t = new QTableWidget(0, int(titles.size()), parent);
    t->setObjectName(QString::fromLatin1(name));
    t->setHorizontalHeaderLabels(titles);
    t->setEditTriggers(QAbstractItemView::NoEditTriggers);
    t->setTabKeyNavigation(false);   // Tab goes on to the dialog's buttons
    t->setSelectionBehavior(QAbstractItemView::SelectRows);
    t->verticalHeader()->hide();
    t->horizontalHeader()->setStretchLastSection(true);
    return t;
}

void addRow(QTableWidget *t, const QStringList &cells)
{
    const int r = t->rowCount();
    t->insertRow(r);
    for (int c = 0; c < cells.size(); ++c)
        t->setItem(r, c, new QTableWidgetItem(cells[c]));
}

// A count of a one-row answer, by name; none when missing or not a count.
std::optional<qint64> countIn(const dataset::DataPacket &p, const char *field)
{
    if (p.rows.size() != 1)
        return std::nullopt;
    bool ok = false;
    const qint64 n = PacketRow(p, 0)[field].toLongLong(&ok);
    return ok && n >= 0 ? std::optional<qint64>(n) : std::nullopt;
}

QCborArray targetArgs(const ImportTarget &t)
{
    return {t.entity, t.tax, t.company, t.registration};
}

} // namespace

std::unique_ptr<ImportDialog> ImportDialog::open(const ImportTarget &target, const QString &path, QWidget *parent)
{
    std::unique_ptr<ImportDialog> dlg(new ImportDialog(target, path, parent));
    try {
        vcl::HourGlass wait;
        dlg->m_source = importing::openSheetFile(path);
        const std::vector<importing::SheetInfo> sheets = dlg->m_source->sheets();
        for (std::size_t i = 0; i < sheets.size(); ++i) {
            if (sheets[i].hidden)
                continue;
            dlg->m_sheetIndex.push_back(int(i));
            dlg->cbxFolha->addItem(sheets[i].name.isEmpty() ? QFileInfo(path).fileName() : sheets[i].name);
        }
        dlg->cbxFolha->setEnabled(dlg->m_sheetIndex.size() > 1);
        // The first sheet that reads: a workbook often starts with a sheet of its own lists
        // (the groups, for a drop-down), and the sheet list is in the dialog, out of reach
        // until it opens.
        std::optional<importing::ReadError> first;
        bool loaded = false;
        for (std::size_t i = 0; i < dlg->m_sheetIndex.size() && !loaded; ++i) {
            try {
                dlg->load(dlg->m_sheetIndex[i]);
                dlg->cbxFolha->setCurrentIndex(int(i));
                loaded = true;
            } catch (const importing::ReadError &e) {
                if (!first)
                    first = dlg->m_sheetIndex.size() > 1
                                ? importing::ReadError(QStringLiteral("Folha \"%1\": %2").arg(dlg->cbxFolha->itemText(int(i)), e.message()))
                                : e;
            }
        }
        if (!loaded) {
            if (dlg->m_sheetIndex.empty())
                dlg->load(importing::firstVisibleSheet(*dlg->m_source));   // says why there is none
            else
                throw *first;
        }
    } catch (const importing::ReadError &e) {
        interaction().message(clientlib::mtError, kTitle, e.message(), clientlib::mbOK, parent);
        return nullptr;
    }
    if (!vcl::guarded([&] { dlg->check(); }))
        return nullptr;   // the server's refusal has been shown
    dlg->display();
    QObject::connect(dlg->cbxFolha, &QComboBox::activated, dlg.get(), [d = dlg.get()](int row) {
        const bool read = vcl::guarded([&] {
            try {
                vcl::HourGlass wait;
                d->load(d->m_sheetIndex.at(std::size_t(row)));
                d->check();
            } catch (const importing::ReadError &e) {
                interaction().message(clientlib::mtError, kTitle, e.message(), clientlib::mbOK, d);
                clientlib::Abort();
            }
        });
        // A sheet that could not be read or checked leaves nothing to import.
        if (!read) {
            d->m_file = {};
            d->m_errors.clear();
            d->m_wrong.clear();
            d->m_counts = {};
        }
        d->display();
    });
    return dlg;
}

ImportDialog::ImportDialog(const ImportTarget &target, const QString &path, QWidget *parent)
    : QDialog(parent), m_target(target), m_path(path)
{
    setObjectName(QStringLiteral("frmImportaPlanilha"));
    new QShortcut(QKeySequence::HelpContents, this, [this] { help::showTopic(QStringLiteral("frmImportaPlanilha"), this); });
    setWindowTitle(kTitle);
    m_net = new NetRemoteObject(QStringLiteral("netCadAutParGrpFis"), protocol::kCadAutParGrpFis, this);
    build();
}

ImportDialog::~ImportDialog() = default;

void ImportDialog::build()
{
    auto *form = new QFormLayout;
    lblArquivo = new QLabel(QFileInfo(m_path).fileName(), this);
    lblArquivo->setObjectName(QStringLiteral("lblArquivo"));
    lblArquivo->setToolTip(m_path);
    cbxFolha = new QComboBox(this);
    cbxFolha->setObjectName(QStringLiteral("cbxFolha"));
    lblColunas = new QLabel(this);
    lblColunas->setObjectName(QStringLiteral("lblColunas"));
    lblContagem = new QLabel(this);
    lblContagem->setObjectName(QStringLiteral("lblContagem"));
    form->addRow(QStringLiteral("Destino:"), new QLabel(m_target.caption, this));
    form->addRow(QStringLiteral("Arquivo:"), lblArquivo);
    form->addRow(QStringLiteral("Folha:"), cbxFolha);
    form->addRow(QStringLiteral("Colunas:"), lblColunas);
    form->addRow(QStringLiteral("Linhas:"), lblContagem);

    grdErros = table(this, "grdErros", {QStringLiteral("Linha"), QStringLiteral("Erro")});
    grdAmostra = table(this, "grdAmostra", {QStringLiteral("Registro"), QStringLiteral("Grupo atual"),
                                            QStringLiteral("Grupo novo")});
    chkSomenteValidas = new QCheckBox(QStringLiteral("Importar somente as linhas sem erro"), this);
    chkSomenteValidas->setObjectName(QStringLiteral("chkSomenteValidas"));

    auto *buttons = new QDialogButtonBox(this);
    btnExportarErros = buttons->addButton(QStringLiteral("Exportar erros..."), QDialogButtonBox::ActionRole);
    btnExportarErros->setObjectName(QStringLiteral("btnExportarErros"));
    // Not an accept button, which the box would make the default: Enter after choosing a
    // sheet or a line must not write every group of the file.
    btnImportar = buttons->addButton(QStringLiteral("Importar"), QDialogButtonBox::ActionRole);
    btnImportar->setObjectName(QStringLiteral("btnImportar"));
    btnFechar = buttons->addButton(QStringLiteral("Fechar"), QDialogButtonBox::RejectRole);
    btnFechar->setObjectName(QStringLiteral("btnFechar"));

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(new QLabel(QStringLiteral("Erros:"), this));
    layout->addWidget(grdErros, 1);
    layout->addWidget(new QLabel(QStringLiteral("Amostra das alterações:"), this));
    layout->addWidget(grdAmostra, 1);
    layout->addWidget(chkSomenteValidas);
    layout->addWidget(buttons);
    resize(720, 560);

    connect(chkSomenteValidas, &QCheckBox::toggled, this, [this] { updateButtons(); });
    connect(btnExportarErros, &QPushButton::clicked, this, [this] { vcl::guarded([this] { exportErrors(); }); });
    connect(btnImportar, &QPushButton::clicked, this, [this] { vcl::guarded([this] { runImport(); }); });
    connect(btnFechar, &QPushButton::clicked, this, &QDialog::reject);
    vcl::enterClicksOnlyTheFocusedButton(this);
}

void ImportDialog::load(int sheet)
{
    const imp::Entity *entity = imp::findEntity(m_target.entity.toStdString());
    m_source->selectSheet(sheet);
    m_file = importing::readImportLines(*m_source, *entity);
    // A report of another tax, company or registration goes nowhere else: the tab shows
    // where the lines would go, the report's heading where they came from.
    const std::pair<const char *, QString> shown[] = {
        {"Imposto", m_target.tax}, {"Empresa", m_target.company}, {"Inscrição Estadual", m_target.registration}};
    for (const auto &[label, now] : shown) {
        const auto written = m_file.heading.find(QString::fromUtf8(label));
        if (written == m_file.heading.end() || now.trimmed().isEmpty() || written->second == now.trimmed())
            continue;
        throw importing::ReadError(QStringLiteral("A planilha traz \"%1: %2\", e a aba está em %1 %3. Para importá-la, "
                                                  "escolha %2 na aba, ou apague da planilha a linha \"%1:\".")
                                       .arg(QString::fromUtf8(label), written->second, now.trimmed()));
    }
}

void ImportDialog::check()
{
    vcl::HourGlass wait;
    m_wrong.assign(m_file.lines.size(), false);
    m_errors = m_file.errors;
    m_counts = {m_file.rowsRead, 0, 0, std::int64_t(m_file.errors.size())};
    if (m_file.lines.empty())
        return;
    LinesPacket lines(m_file.lines, m_wrong);   // none wrong yet
    const rpc::Reply reply =
        m_net->call(QString::fromLatin1(protocol::method::SimulaImportaGrupos), targetArgs(m_target), lines);
    clientlib::CheckResultServ(reply, true, 0);
    const QList<dataset::DataPacket> packets = dataset::readCborPackets(reply.resultCbor());
    const std::optional<qint64> toChange = packets.size() == 2 ? countIn(packets[0], imp::QTALTERAR) : std::nullopt;
    const std::optional<qint64> same = packets.size() == 2 ? countIn(packets[0], imp::QTIGUAIS) : std::nullopt;
    if (!toChange || !same)
        throw std::runtime_error("O servidor não informou as contagens da verificação da planilha.");
    m_counts.toChange = *toChange;
    m_counts.same = *same;
    // Every line was sent: its place is its index, plus one.
    const auto lineOf = [this](std::int64_t place) {
        return place >= 1 && std::size_t(place) <= m_file.lines.size() ? m_file.lines.line(std::size_t(place - 1)) : 0;
    };
    for (int r = 0; r < int(packets[1].rows.size()); ++r) {
        const PacketRow row(packets[1], r);
        const std::size_t at = std::size_t(row[imp::NRLINHA].toLongLong() - 1);
        if (at >= m_wrong.size())
            throw std::runtime_error("O servidor apontou um erro numa linha que não lhe foi enviada.");
        m_wrong[at] = true;
        m_errors.push_back({m_file.lines.line(at), inFileLines(row[imp::DSERRO], lineOf)});
    }
    m_counts.errors = std::int64_t(m_errors.size());
    std::stable_sort(m_errors.begin(), m_errors.end(), [](const auto &a, const auto &b) { return a.line < b.line; });
}

void ImportDialog::display()
{
    const importing::Columns &c = m_file.columns;
    lblColunas->setText(c.titleLine
        ? QStringLiteral("registro em \"%1\" (coluna %2), grupo em \"%3\" (coluna %4), títulos na linha %5")
              .arg(c.keyTitle, columnName(c.key), c.groupTitle, columnName(c.group), number(c.titleLine))
        : QStringLiteral("sem títulos: registro na coluna A, grupo na coluna B"));
    lblContagem->setText(QStringLiteral("%1 %2, %3 a alterar, %4 já com esse grupo, %5 com erro")
                             .arg(number(m_counts.read), m_counts.read == 1 ? QStringLiteral("lida") : QStringLiteral("lidas"),
                                  number(m_counts.toChange), number(m_counts.same),
                                  number(m_counts.errors)));

    grdErros->setRowCount(0);
    for (std::size_t i = 0; i < m_errors.size() && i < kShownErrors; ++i)
        addRow(grdErros, {number(m_errors[i].line), m_errors[i].reason});
    if (const std::size_t more = m_errors.size() > kShownErrors ? m_errors.size() - kShownErrors : 0)
        addRow(grdErros, {QString(), QStringLiteral("... e mais %1 %2: \"Exportar erros...\" grava todos.")
                                         .arg(number(std::int64_t(more)), more == 1 ? QStringLiteral("erro") : QStringLiteral("erros"))});
    grdErros->resizeColumnToContents(0);

    grdAmostra->setRowCount(0);
    const auto groupShown = [this](const QString &code) {
        if (code.isEmpty())
            return QStringLiteral("(nenhum)");
        return m_target.groupText ? m_target.groupText(code) : code;
    };
    // The tab is searched for a batch of lines at a time, each batch larger than the last:
    // one pass over its rows when the first lines hold the sample, a few when few lines change.
    std::size_t next = 0;
    for (std::size_t batch = 4 * kSampleRows; m_target.find && next < m_file.lines.size()
                                              && grdAmostra->rowCount() < kSampleRows; batch *= 8) {
        std::vector<std::size_t> at;
        QStringList keys;
        for (; next < m_file.lines.size() && at.size() < batch; ++next) {
            if (!m_wrong[next]) {
                at.push_back(next);
                keys << m_file.lines.key(next);
            }
        }
        const std::vector<std::optional<ImportTarget::Shown>> found = m_target.find(keys);
        for (std::size_t k = 0; k < at.size() && grdAmostra->rowCount() < kSampleRows; ++k) {
            const importing::ImportLine &l = m_file.lines[at[k]];
            const std::optional<ImportTarget::Shown> &now = found.at(k);
            if (now && now->group != l.group)
                addRow(grdAmostra, {now->record, groupShown(now->group), groupShown(l.group)});
        }
    }
    grdAmostra->resizeColumnToContents(0);
    grdAmostra->resizeColumnToContents(1);
    updateButtons();
}

void ImportDialog::updateButtons()
{
    btnExportarErros->setEnabled(!m_errors.empty());
    chkSomenteValidas->setEnabled(!m_errors.empty());
    btnImportar->setEnabled(m_counts.toChange > 0 && (m_errors.empty() || chkSomenteValidas->isChecked()));
}

void ImportDialog::exportErrors()
{
    QString filter = QStringLiteral("Arquivo CSV (*.csv)");
    const QString path = interaction().chooseSaveFile(QStringLiteral("Exportar erros"),
                                                      QFileInfo(m_path).completeBaseName() + QStringLiteral("-erros.csv"),
                                                      {filter}, filter, this);
    if (path.isEmpty())
        return;
    QByteArray out("\xEF\xBB\xBFLinha;Erro\r\n");
    for (const importing::LineError &e : m_errors)
        out += QByteArray::number(qlonglong(e.line)) + ';' + reports::csvField(e.reason) + "\r\n";
    QSaveFile file(path);
    // commit() ignores a failed flush of what is still buffered: flushed first.
    if (!file.open(QIODevice::WriteOnly) || file.write(out) != out.size() || !file.flush() || !file.commit()) {
        interaction().message(clientlib::mtError, kTitle,
                              QStringLiteral("Não foi possível gravar o arquivo %1: %2").arg(path, reports::writeFailure(file)),
                              clientlib::mbOK, this);
        return;
    }
    interaction().message(clientlib::mtInformation, kTitle,
                          m_errors.size() == 1
                              ? QStringLiteral("1 erro exportado para %1.").arg(path)
                              : QStringLiteral("%1 erros exportados para %2.").arg(number(std::int64_t(m_errors.size())), path),
                          clientlib::mbOK, this);
}

void ImportDialog::runImport()
{
    if (!btnImportar->isEnabled())
        return;
    vcl::HourGlass wait;
    LinesPacket lines(m_file.lines, m_wrong);
    // An import whose answer is lost may have gone in: the tab is read again once the dialog
    // closes, however it closes (importing again sets the same groups, nothing more).
    m_importTried = true;
    const rpc::Reply reply =
        m_net->call(QString::fromLatin1(protocol::method::ImportaGrupos), targetArgs(m_target), lines);
    if (!reply.ok()) {
        // The lines left out were not sent: the places count only those that were.
        std::vector<std::int64_t> sent;
        for (std::size_t i = 0; i < m_file.lines.size(); ++i) {
            if (i >= m_wrong.size() || !m_wrong[i])
                sent.push_back(m_file.lines.line(i));
        }
        const auto lineOf = [&sent](std::int64_t place) {
            return place >= 1 && std::size_t(place) <= sent.size() ? sent[std::size_t(place - 1)] : 0;
        };
        try {
            clientlib::CheckResultServ(
                rpc::Reply::failure(reply.errorCode(), inFileLines(reply.errorMessage(), lineOf), reply.errorData()), true, 0);
        } catch (...) {
            // What was refused may be new since the check (a record or a group removed
            // meanwhile): checked again, the list of errors says it, and "Importar somente as
            // linhas sem erro" leaves it out. A check that fails says why, and the first one
            // stands, for another try. A server that did not answer is not asked again.
            if (reply.errorCode() == clientlib::kTransportError)
                throw;
            const std::vector<bool> wrong = m_wrong;
            const std::vector<importing::LineError> errors = m_errors;
            const Counts counts = m_counts;
            if (!vcl::guarded([&] { check(); })) {
                m_wrong = wrong;
                m_errors = errors;
                m_counts = counts;
            }
            display();
            throw;
        }
    }
    const dataset::DataPacket result = dataset::DataPacket::readCbor(reply.resultCbor());
    const std::optional<qint64> changedIn = countIn(result, imp::QTALTERADOS), insertedIn = countIn(result, imp::QTINCLUIDOS);
    if (!changedIn || !insertedIn) {
        // It went in; only its counts are missing.
        interaction().message(clientlib::mtInformation, kTitle, QStringLiteral("Importação concluída."), clientlib::mbOK, this);
        accept();
        return;
    }
    const qlonglong changed = *changedIn, inserted = *insertedIn;
    // "3 registros alterados e 1 incluído"; a part that is 0 is left out, unless both are.
    const auto part = [](qlonglong n, const char *one, const char *many) {
        return QStringLiteral("%1 %2").arg(number(n), QString::fromUtf8(n == 1 ? one : many));
    };
    QStringList parts;
    if (changed > 0 || inserted == 0)
        parts << part(changed, "registro alterado", "registros alterados");
    if (inserted > 0)
        parts << part(inserted, changed > 0 ? "incluído" : "registro incluído",
                      changed > 0 ? "incluídos" : "registros incluídos");
    interaction().message(clientlib::mtInformation, kTitle,
                          QStringLiteral("Importação concluída: %1.").arg(parts.join(QStringLiteral(" e "))),
                          clientlib::mbOK, this);
    accept();
}

} // namespace fiscal::ger10200
