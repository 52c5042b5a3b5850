#include "clientlib/frmrotigeral.h"

#include "clientlib/errorreporter_p.h"
#include "clientlib/interaction.h"
#include "help/help.h"
#include "vcl/guard.h"

#include <QEvent>
#include <QGridLayout>
#include <QShortcut>
#include <QStyle>
#include <QVBoxLayout>

namespace fiscal::clientlib {

TfrmRotiGeral::TfrmRotiGeral(QWidget *parent) : QDialog(parent)
{
    // Errors escaping this screen's handlers are shown through the interaction service.
    detail::ensureErrorReporter();
    setAttribute(Qt::WA_DeleteOnClose);
    setModal(true);

    panMenu = new vcl::TPanel(this);
    panMenu->setObjectName(QStringLiteral("panMenu"));
    panMenu->setFrameShape(QFrame::StyledPanel);
    panBotoes = new vcl::TPanel(panMenu);
    panBotoes->setObjectName(QStringLiteral("panBotoes"));
    // Alt+letter works the column's buttons, which take no focus: they must not run the exit
    // check of the box being typed in before their own.
    sbtConfirma = columnButton("sbtConfirma", QStringLiteral("&Confirmar"), QStyle::SP_DialogApplyButton);
    sbtConfirma->OnClick = [this] { sbtConfirmaClick(); };
    sbtFechar = columnButton("sbtFechar", QStringLiteral("&Fechar"), QStyle::SP_DialogCloseButton);
    sbtFechar->OnClick = [this] { reject(); };
    lblCodTela = new vcl::TLabel(QString(), true, panMenu);
    lblCodTela->setObjectName(QStringLiteral("lblCodTela"));
    lblCodTela->setAlignment(Qt::AlignCenter);

    m_buttons = new QVBoxLayout(panBotoes);
    m_buttons->setContentsMargins(0, 0, 0, 0);
    m_buttons->setSpacing(2);
    m_buttons->addWidget(sbtConfirma);
    m_buttons->addWidget(sbtFechar);
    auto *menu = new QVBoxLayout(panMenu);
    menu->setContentsMargins(2, 2, 2, 2);
    menu->addWidget(panBotoes);
    menu->addStretch(1);
    menu->addWidget(lblCodTela);

    grbDadosRel = new vcl::TGroupBox(QString(), this);
    grbDadosRel->setObjectName(QStringLiteral("grbDadosRel"));

    m_layout = new QGridLayout(this);
    m_layout->setContentsMargins(4, 4, 4, 4);
    m_layout->setSpacing(4);
    m_layout->addWidget(grbDadosRel, 0, 0);
    m_layout->addWidget(panMenu, 0, 1);
    m_layout->setColumnStretch(0, 1);

    msgPadrao = new TMessages(this);
    new QShortcut(QKeySequence::HelpContents, this, [this] { vcl::guarded([this] { ShowHelp(); }); });
    msgPadrao->setObjectName(QStringLiteral("msgPadrao"));

    // However the dialog ends (accept, reject, Esc, the window button), its close handler
    // runs once; the dialog then releases itself.
    connect(this, &QDialog::finished, this, [this] {
        if (!m_closed) {
            m_closed = true;
            vcl::guarded([this] { FormClose(); });
        }
    });
}

vcl::TSpeedButton *TfrmRotiGeral::columnButton(const char *name, const QString &caption, QStyle::StandardPixmap icon)
{
    auto *b = new vcl::TSpeedButton(panBotoes);
    b->setObjectName(QString::fromLatin1(name));
    b->setHint(QString(caption).remove(QLatin1Char('&')));
    b->setText(caption);   // an '&' makes the Alt+letter shortcut
    b->setIcon(style()->standardIcon(icon));
    b->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    b->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    return b;
}

vcl::TSpeedButton *TfrmRotiGeral::addColumnButton(const char *name, const QString &caption, QStyle::StandardPixmap icon)
{
    vcl::TSpeedButton *b = columnButton(name, caption, icon);
    m_buttons->insertWidget(m_buttons->indexOf(sbtFechar), b);
    return b;
}

void TfrmRotiGeral::Create()
{
    if (m_created) {
        return;
    }
    m_created = true;
    FormCreate();
}

void TfrmRotiGeral::Activate()
{
    vcl::guarded([this] { FormActivate(); });
}

QString TfrmRotiGeral::HelpKeyword() const
{
    return QString::fromLatin1(metaObject()->className()).section(QStringLiteral("::"), -1);
}

void TfrmRotiGeral::ShowHelp()
{
    if (m_helpContext != 0 && help::showContext(m_helpContext, this))
        return;
    if (!help::showTopic(HelpKeyword(), this) && !help::showTopic(lblCodTela->text(), this))
        interaction().message(mtInformation, windowTitle(),
                              QStringLiteral("Não há ajuda instalada para a tela %1.").arg(lblCodTela->text()), mbOK, this);
}

void TfrmRotiGeral::setClientSize(int width, int height)
{
    setFixedSize(width, height);
}

bool TfrmRotiGeral::event(QEvent *event)
{
    if (event->type() == QEvent::WindowActivate) {
        Activate();
    }
    return QDialog::event(event);
}

void TfrmRotiGeral::showEvent(QShowEvent *event)
{
    if (!m_created) {
        vcl::guarded([this] { Create(); });
    }
    QDialog::showEvent(event);
}

} // namespace fiscal::clientlib
