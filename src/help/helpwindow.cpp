#include "help/helpwindow.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScrollBar>
#include <QSplitter>
#include <QTabWidget>
#include <QTextBrowser>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace fiscal::help {

namespace {
constexpr int kPageRole = Qt::UserRole;
}

HelpWindow::HelpWindow(const Manual &manual, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , m_manual(manual)
{
    setObjectName(QStringLiteral("frmAjuda"));
    setWindowTitle(QStringLiteral("Ajuda - %1").arg(manual.title()));
    setAttribute(Qt::WA_DeleteOnClose);
    resize(980, 640);

    m_contents = new QTreeWidget;
    m_contents->setObjectName(QStringLiteral("trvConteudo"));
    m_contents->setHeaderHidden(true);
    // Titles are never cut: a narrow pane scrolls instead.
    m_contents->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_contents->header()->setStretchLastSection(false);
    QList<QTreeWidgetItem *> parents;
    for (const ManualPage &p : manual.pages()) {
        const int level = qMin(p.level, int(parents.size()));
        parents.resize(level);
        auto *item = level == 0 ? new QTreeWidgetItem(m_contents) : new QTreeWidgetItem(parents.last());
        item->setText(0, p.title);
        item->setData(0, kPageRole, p.id);
        parents << item;
    }
    m_contents->expandAll();
    connect(m_contents, &QTreeWidget::itemActivated, this,
            [this](QTreeWidgetItem *item) { showPage(item->data(0, kPageRole).toString()); });
    connect(m_contents, &QTreeWidget::itemClicked, this,
            [this](QTreeWidgetItem *item) { showPage(item->data(0, kPageRole).toString()); });

    auto *searchPage = new QWidget;
    m_searchBox = new QLineEdit;
    m_searchBox->setObjectName(QStringLiteral("edtPesquisa"));
    m_searchBox->setPlaceholderText(QStringLiteral("Palavras a procurar"));
    auto *find = new QPushButton(QStringLiteral("Procurar"));
    m_results = new QListWidget;
    m_results->setObjectName(QStringLiteral("lstResultado"));
    auto *searchRow = new QHBoxLayout;
    searchRow->addWidget(m_searchBox, 1);
    searchRow->addWidget(find);
    auto *searchLayout = new QVBoxLayout(searchPage);
    searchLayout->addLayout(searchRow);
    searchLayout->addWidget(m_results, 1);
    connect(find, &QPushButton::clicked, this, [this] { search(m_searchBox->text()); });
    connect(m_searchBox, &QLineEdit::returnPressed, this, [this] { search(m_searchBox->text()); });
    connect(m_results, &QListWidget::itemActivated, this,
            [this](QListWidgetItem *item) { showPage(item->data(kPageRole).toString()); });
    connect(m_results, &QListWidget::itemClicked, this,
            [this](QListWidgetItem *item) { showPage(item->data(kPageRole).toString()); });

    m_tabs = new QTabWidget;
    m_tabs->addTab(m_contents, QStringLiteral("Conteúdo"));
    m_tabs->addTab(searchPage, QStringLiteral("Pesquisar"));

    m_browser = new QTextBrowser;
    m_browser->setObjectName(QStringLiteral("txbPagina"));
    m_browser->setOpenLinks(true);
    connect(m_browser, &QTextBrowser::sourceChanged, this, &HelpWindow::syncContents);

    auto *split = new QSplitter;
    split->addWidget(m_tabs);
    split->addWidget(m_browser);
    split->setStretchFactor(1, 1);
    // The contents pane opens wide enough for its longest title (a scroll bar under a cut
    // title hides what the page is about), up to nearly half the window.
    m_contents->resizeColumnToContents(0);
    const int titles = m_contents->columnWidth(0) + 2 * m_contents->frameWidth()
                       + m_contents->verticalScrollBar()->sizeHint().width() + 16;
    const int pane = qBound(330, titles, width() * 9 / 20);
    split->setSizes({pane, width() - pane});
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addWidget(split);

    if (!manual.pages().isEmpty())
        showPage(manual.pages().first().id);
}

QString HelpWindow::currentPage() const
{
    const ManualPage *p = m_manual.pageForUrl(m_browser->source());
    return p ? p->id : QString();
}

void HelpWindow::showPage(const QString &id)
{
    const ManualPage *p = m_manual.page(id);
    if (!p)
        return;
    if (m_browser->source() != m_manual.url(*p))
        m_browser->setSource(m_manual.url(*p));
    syncContents(m_manual.url(*p));
}

void HelpWindow::search(const QString &words)
{
    m_searchBox->setText(words);
    m_tabs->setCurrentIndex(1);
    m_results->clear();
    const QStringList ids = m_manual.search(words);
    for (const QString &id : ids) {
        auto *item = new QListWidgetItem(m_manual.page(id)->title, m_results);
        item->setData(kPageRole, id);
    }
    if (ids.isEmpty())
        new QListWidgetItem(QStringLiteral("Nenhuma página encontrada."), m_results);
}

void HelpWindow::syncContents(const QUrl &url)
{
    const ManualPage *page = m_manual.pageForUrl(url);
    const QString id = page ? page->id : QString();
    for (QTreeWidgetItemIterator it(m_contents); *it; ++it) {
        if ((*it)->data(0, kPageRole).toString() == id) {
            m_contents->setCurrentItem(*it);
            break;
        }
    }
}

} // namespace fiscal::help
