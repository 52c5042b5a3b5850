#include "Pkg_Ger10200/shared/codefield.h"

#include "clientlib/adoibquery.h"
#include "clientlib/messages.h"
#include "clientlib/selection.h"
#include "clientlib/textroutines.h"
#include "vcl/controls.h"
#include "vcl/edit.h"
#include "vcl/focuswatch.h"

#include <QAbstractButton>
#include <QLineEdit>

namespace fiscal::ger10200 {

using clientlib::Ajusta;
using clientlib::MensErro;

CodeField::CodeField(vcl::TCustomEdit *box, QLineEdit *nameBox,
                     const clientlib::TMessages *messages, CodeFieldSpec spec, Lookup lookup)
    : m_box(box), m_nameBox(nameBox), m_messages(messages), m_spec(std::move(spec)),
      m_lookup(std::move(lookup))
{
}

void CodeField::wire()
{
    m_box->OnExit = [this] { Validate(false); };
    m_box->OnChange = [this] { changed(); };
}

void CodeField::changed()
{
    if (m_nameBox)
        m_nameBox->clear();
    for (const auto &dep : std::as_const(m_dependents)) {
        if (dep)
            dep->setText(QString());
    }
}

void focusForMessage(const std::function<void()> &move)
{
    const int refused = vcl::FocusWatch::instance().refusedExits();
    move();
    if (vcl::FocusWatch::instance().refusedExits() != refused)
        clientlib::Abort();
}

void CodeField::focusBack()
{
    if (m_focusBack && !m_focusBack())
        return;
    focusForMessage([this] {
        if (m_beforeFocusBack)
            m_beforeFocusBack();
        if (m_box)
            m_box->SetFocus();
    });
}

void CodeField::refuse(const QString &key)
{
    // The focus first: the box's window is active again when the message closes and must
    // find the focus already where the user corrects the code.
    focusBack();
    MensErro(m_messages->Msg(key), true);
}

bool CodeField::Validate(bool mandatory)
{
    QString code = m_box->Text();
    // Blanks only: the masks here fill with blanks, so a '_' in a box is typed, a code to look
    // up (and refuse) rather than an empty box.
    if (code.trimmed().isEmpty()) {
        if (mandatory)
            refuse(m_spec.keyEmpty);
        return false;
    }
    if (m_spec.width > 0) {
        code = Ajusta(code, m_spec.width);
        if (code != m_box->Text())
            m_box->setText(code);
    }
    std::optional<QString> name;
    try {
        name = m_lookup(code);
    } catch (...) {
        focusBack();
        throw;
    }
    if (!name)
        refuse(m_spec.keyNotFound);
    if (m_nameBox)
        m_nameBox->setText(*name);
    return true;
}

void CodeField::setFromSearch(const QString &code, const std::optional<QString> &name)
{
    m_box->setText(code);   // its change handling empties the name box
    if (m_nameBox && name)
        m_nameBox->setText(*name);
}

ListChoice::ListChoice(vcl::TRadioButton *all, vcl::TRadioButton *list,
                       QAbstractButton *listButton, bool clearOnClick)
    : m_all(all), m_list(list), m_button(listButton), m_clearOnClick(clearOnClick)
{
}

void ListChoice::wire()
{
    auto onClick = [this] {
        sync();
        if (m_clearOnClick)
            m_selection.clear();
    };
    m_all->OnClick = onClick;
    m_list->OnClick = onClick;
    sync();
}

void ListChoice::sync()
{
    if (m_button && m_list)
        m_button->setEnabled(m_list->isChecked());
}

void ListChoice::confirm(const clientlib::TMessages *messages, const QString &keyEmpty)
{
    if (m_all && m_all->isChecked()) {
        m_selection = QStringLiteral("T");
        return;
    }
    // A "T" kept from an earlier "all" would send every record under "Lista".
    const std::optional<QStringList> keys = clientlib::parseSelection(m_selection);
    if (m_list && m_list->isChecked() && (!keys || keys->isEmpty())) {
        focusForMessage([this] { m_list->setFocus(Qt::OtherFocusReason); });
        MensErro(messages->Msg(keyEmpty), true);
    }
}

std::optional<QString> lookUpQuery(clientlib::TADOIBQuery *q,
                                   const QList<std::pair<QString, QString>> &params,
                                   const QString &nameField)
{
    q->Close();
    for (const auto &[name, value] : params)
        q->ParamByName(name).setAsString(value);
    q->Open();
    if (q->IsEmpty())
        return std::nullopt;
    return nameField.isEmpty() ? QString() : q->FieldByName(nameField)->AsString();
}

bool isGrupoFiscalKeyRefused(QChar c)
{
    static const QString signs = QStringLiteral("*+-./");
    if (signs.contains(c))
        return true;
    const char16_t u = c.unicode();
    return (u >= u'A' && u <= u'Z') || (u >= u'a' && u <= u'z');
}

void filterGrupoFiscalKey(QChar &key)
{
    if (isGrupoFiscalKeyRefused(key))
        key = QChar();
}

} // namespace fiscal::ger10200
