#pragma once
// An interaction service for tests: answers come from a queue, everything shown is kept.
//
//   auto script = std::make_unique<ScriptedInteraction>();
//   ScriptedInteraction *s = script.get();
//   InteractionScope scope(std::move(script));
//   s->push(Answer::yes());                          // next Yes/No box
//   s->push(Answer::choose("Descartar"));            // next box with buttons of its own
//   s->push(Answer::pickRow("CDEMPRESA", "02"));     // next single-choice list
//   s->push(Answer::pickKeys({"001", "014"}));       // next multi-choice list
//   s->push(Answer::dialog([](QDialog &d) { ... }, true));   // next modal dialog
//   s->push(Answer::saveAs("/tmp/x.csv"));          // next file dialog
//   ... drive the screen ...
//   EXPECT_TRUE(s->problems().isEmpty());
//   s->shown() lists every box, list and dialog in order.
//
// Boxes whose only button is OK do not need an answer: they are acknowledged on their own
// unless the next answer is an explicit Answer::ok(). A box, list or dialog that finds no
// fitting answer gets the safe default (No / Cancel / rejected) and is noted in problems().

#include "clientlib/interaction.h"

#include <QDialog>
#include <deque>
#include <functional>

namespace fiscal::clientlib {

struct Answer {
    enum Kind { Button, PickRow, PickKeys, Cancel, Dialog, SaveFile, Choose, OpenFile };
    Kind kind = Button;
    int button = mrOk;
    QString field;
    QString value;
    QStringList keys;
    std::function<void(QDialog &)> drive;
    bool accept = true;

    static Answer yes();
    static Answer no();
    static Answer ok();
    static Answer withButton(int result);
    // The button of that caption in a box of ask().
    static Answer choose(const QString &caption);
    // Closes any box with Cancel (or No), any list without a choice, any dialog rejected.
    static Answer cancel();
    static Answer pickRow(const QString &field, const QString &value);
    static Answer pickKeys(const QStringList &keys);
    // Runs `drive` on the shown dialog; then, if it is still open, accepts or rejects it.
    static Answer dialog(std::function<void(QDialog &)> drive, bool accept = true);
    // The file a save dialog returns (`value`), and the filter chosen in it when not empty.
    static Answer saveAs(const QString &path, const QString &filter = {});
    // The file an open dialog returns.
    static Answer open(const QString &path);
};

struct Shown {
    enum Kind { Message, ChooseOne, ChooseMany, Dialog, SaveFile, OpenFile };
    Kind kind = Message;
    TMsgDlgType messageType = mtInformation;
    TMsgDlgButtons buttons = mbOK;
    QStringList choices;          // the buttons of a box of ask()
    QString title;
    QString text;                 // message text; for lists the title; for dialogs the window title
    ChoiceTable table;            // lists only
    int result = 0;               // what the service returned (button, row, dialog result)
};

class ScriptedInteraction : public Interaction {
    Q_OBJECT
public:
    ScriptedInteraction() = default;

    void push(Answer answer);
    int pending() const { return int(m_answers.size()); }

    const QList<Shown> &shown() const { return m_shown; }
    // Texts of the message boxes shown, in order.
    QStringList messages() const;
    // What went against the script (no answer, wrong kind of answer, row not found).
    const QStringList &problems() const { return m_problems; }
    void clear();

    int message(TMsgDlgType kind, const QString &title, const QString &text,
                TMsgDlgButtons buttons, QWidget *parent) override;
    int ask(TMsgDlgType kind, const QString &title, const QString &text, const QStringList &buttons,
            QWidget *parent) override;
    int chooseOne(const ChoiceTable &table, const QString &title, QWidget *parent) override;
    std::optional<QList<int>> chooseMany(const ChoiceTable &table, int keyColumn,
                                         const QString &title, QWidget *parent) override;
    int runModal(QDialog &dialog) override;
    QString chooseSaveFile(const QString &title, const QString &fileName, const QStringList &filters,
                           QString &filter, QWidget *parent) override;
    QString chooseOpenFile(const QString &title, const QStringList &filters, QWidget *parent) override;

private:
    bool take(Answer::Kind kind, Answer &out, const QString &what);

    std::deque<Answer> m_answers;
    QList<Shown> m_shown;
    QStringList m_problems;
};

} // namespace fiscal::clientlib
