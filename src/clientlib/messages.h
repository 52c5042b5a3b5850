#pragma once
// Message tables (msgPadrao) and the error box that aborts.
//
//   msgPadrao->setStrings({"Imp_Cad|Imposto não cadastrado.",
//                          "GrupoFiscal|Grupo Fiscal|Não há grupo fiscal cadastrado."});
//   msgPadrao->Msg("imp_cad")      "Imposto não cadastrado."    (keys ignore case)
//   msgPadrao->Msg("GrupoFiscal")  "Grupo Fiscal|Não há grupo fiscal cadastrado."
//   msgPadrao->Msg("Rec_Dados")    "Rec_Dados"   (a key the table lacks comes back as is,
//                                                 so the gap is visible, never a blank box)
//   msgPadrao->ShowMsg("Confirma", mtConfirmation, mbYesNo, 0) == mrYes   (6)
//
//   MensErro(text, true)   error box through the interaction service, then throws
//                          dataset::EAbort, which the event guard swallows silently.

#include "clientlib/interaction.h"

#include <QObject>
#include <QStringList>

class QWidget;

namespace fiscal::clientlib {

class TMessages : public QObject {
    Q_OBJECT
public:
    explicit TMessages(QObject *parent = nullptr);

    // Rows "key|text" or "key|title|text".
    const QStringList &Strings() const { return m_rows; }
    void setStrings(const QStringList &rows);
    void add(const QString &row);

    bool hasKey(const QString &key) const;
    // Everything after the first bar of the row with that key; the key itself when the
    // table has no such row.
    QString Msg(const QString &key) const;

    // Modal box with the row's text (for a three-field row: its title and its text).
    // Returns the button pressed: mrOk, mrYes, mrNo, mrCancel.
    int ShowMsg(const QString &key, TMsgDlgType kind, TMsgDlgButtons buttons, int helpContext = 0) const;

private:
    const QString *find(const QString &key) const;

    QStringList m_rows;
};

// The screen the message boxes are shown over (the active window when none given).
QWidget *dialogParent(const QObject *near = nullptr);

// Shows `text` in an error box, then aborts the current action with dataset::EAbort.
// The flag is the caller's "abort" argument; the box is always followed by the abort, so a
// reported failure can never be mistaken for success.
[[noreturn]] void MensErro(const QString &text, bool abort = true);

// Throws dataset::EAbort without showing anything.
[[noreturn]] void Abort();

} // namespace fiscal::clientlib
