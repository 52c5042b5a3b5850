#pragma once
// The code-field pattern every screen of the module uses: a code box, optionally a name
// box, a lookup and two messages.
//
//   CodeField f(box, nameBox, msgPadrao, {width, "Imp_Inf", "Imp_Cad"}, lookup);
//   f.wire();                 OnExit  -> Validate(false)
//                             OnChange -> empties the name box and every dependent box
//   f.Validate(true)          the confirm-time check: an empty box is an error
//   f.setFromSearch(code, name)   what a search button's after-handler does: the code
//                                 first (its change empties the name), then the name
//
// Validate: empty box -> nothing (optional) or MensErro(keyEmpty) (mandatory); otherwise
// the code is brought to `width` by Ajusta and written back (width 0: no adjustment),
// looked up, and a missing record is MensErro(keyNotFound). Whenever the check fails the
// focus goes back to the box first (unless focusBack says no), so the user is in the
// wrong box when the box appears. A lookup that throws (server or database failure)
// also puts the focus back and passes its error on.
//
// ListChoice: the "all"/"list" radio pair with a list button and a selection string.
//   wire()                   each click on either radio sets the button's Enabled from
//                            "Lista"; optionally empties the selection
//   confirm(msgs, key)       "all" -> selection "T"; "Lista" without keys chosen in the list
//                            (nothing, or the "T" an earlier "all" left) -> focus on the
//                            "Lista" radio and MensErro(key)
//
// focusForMessage(move) puts the focus where a confirm-time check's message sends the user.
// Leaving the box the user was in runs that box's own check first; when it refuses, it has
// shown its message and kept the focus, and the check stops silently (Abort) rather than
// show a second message with the focus elsewhere.
//
// lookUpQuery(q, {{"P_CDEMPRESA", code}}, "NMEMPRESA") runs a lookup query afresh: the
// name column of the row found ("" without a name column), nullopt when none; also how a
// list's query is re-opened with its parameters.
//
// Fiscal-group key filter: isGrupoFiscalKeyRefused(c) for "*", "+", "-", ".", "/",
// "A".."Z", "a".."z"; filterGrupoFiscalKey(c) clears a refused key (OnKeyPress form).

#include <QChar>
#include <QList>
#include <QPointer>
#include <QString>
#include <functional>
#include <optional>

#include "vcl/controls.h"
#include "vcl/edit.h"

#include <QAbstractButton>
#include <QLineEdit>
namespace fiscal::clientlib {
class TADOIBQuery;
class TMessages;
}

namespace fiscal::ger10200 {

struct CodeFieldSpec {
    int width = 0;             // Ajusta width; 0 keeps the text as typed
    QString keyEmpty;          // message when empty and mandatory
    QString keyNotFound;       // message when the lookup finds nothing
};

class CodeField {
public:
    // Returns the record's name when the code exists (an empty name is fine), nullopt when
    // it does not. May throw (a failed query or call).
    using Lookup = std::function<std::optional<QString>(const QString &code)>;

    CodeField(vcl::TCustomEdit *box, QLineEdit *nameBox, const clientlib::TMessages *messages,
              CodeFieldSpec spec, Lookup lookup);

    vcl::TCustomEdit *box() const { return m_box; }
    QLineEdit *nameBox() const { return m_nameBox; }

    // Boxes emptied whenever this code changes (a company change empties its registration).
    void addDependent(vcl::TCustomEdit *box) { m_dependents.append(box); }
    // When set and false, a failed check leaves the focus where it is.
    void setFocusBack(std::function<bool()> rule) { m_focusBack = std::move(rule); }
    // Runs before the focus goes back (e.g. bring the box's tab to the front).
    void setBeforeFocusBack(std::function<void()> fn) { m_beforeFocusBack = std::move(fn); }

    void wire();
    // The change handling on its own (for screens that chain their own OnChange).
    void changed();

    // True when a record was found; false for an empty box that is optional.
    bool Validate(bool mandatory);

    void setFromSearch(const QString &code, const std::optional<QString> &name);

private:
    void focusBack();
    [[noreturn]] void refuse(const QString &key);

    QPointer<vcl::TCustomEdit> m_box;
    QPointer<QLineEdit> m_nameBox;
    const clientlib::TMessages *m_messages;
    CodeFieldSpec m_spec;
    Lookup m_lookup;
    QList<QPointer<vcl::TCustomEdit>> m_dependents;
    std::function<bool()> m_focusBack;
    std::function<void()> m_beforeFocusBack;
};

class ListChoice {
public:
    ListChoice(vcl::TRadioButton *all, vcl::TRadioButton *list, QAbstractButton *listButton,
               bool clearOnClick);

    void wire();
    void sync();                      // button enabled exactly while "Lista" is checked
    QString &selection() { return m_selection; }
    const QString &selection() const { return m_selection; }
    void setSelection(const QString &s) { m_selection = s; }
    // The confirm-time rule; throws after MensErro when the list is empty.
    void confirm(const clientlib::TMessages *messages, const QString &keyEmpty);

private:
    QPointer<vcl::TRadioButton> m_all;
    QPointer<vcl::TRadioButton> m_list;
    QPointer<QAbstractButton> m_button;
    bool m_clearOnClick;
    QString m_selection;
};

std::optional<QString> lookUpQuery(clientlib::TADOIBQuery *q,
                                   const QList<std::pair<QString, QString>> &params,
                                   const QString &nameField);

void focusForMessage(const std::function<void()> &move);

bool isGrupoFiscalKeyRefused(QChar c);
void filterGrupoFiscalKey(QChar &key);

} // namespace fiscal::ger10200
