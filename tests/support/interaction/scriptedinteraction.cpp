#include "scriptedinteraction.h"

#include <QCoreApplication>
#include <QPointer>

namespace fiscal::clientlib {

Answer Answer::yes() { return withButton(mrYes); }
Answer Answer::no() { return withButton(mrNo); }
Answer Answer::ok() { return withButton(mrOk); }

Answer Answer::withButton(int result)
{
    Answer a;
    a.kind = Button;
    a.button = result;
    return a;
}

Answer Answer::choose(const QString &caption)
{
    Answer a;
    a.kind = Choose;
    a.value = caption;
    return a;
}

Answer Answer::cancel()
{
    Answer a;
    a.kind = Cancel;
    return a;
}

Answer Answer::pickRow(const QString &field, const QString &value)
{
    Answer a;
    a.kind = PickRow;
    a.field = field;
    a.value = value;
    return a;
}

Answer Answer::pickKeys(const QStringList &keys)
{
    Answer a;
    a.kind = PickKeys;
    a.keys = keys;
    return a;
}

Answer Answer::dialog(std::function<void(QDialog &)> drive, bool accept)
{
    Answer a;
    a.kind = Dialog;
    a.drive = std::move(drive);
    a.accept = accept;
    return a;
}

void ScriptedInteraction::push(Answer answer)
{
    m_answers.push_back(std::move(answer));
}

QStringList ScriptedInteraction::messages() const
{
    QStringList texts;
    for (const Shown &s : m_shown) {
        if (s.kind == Shown::Message) {
            texts.append(s.text);
        }
    }
    return texts;
}

void ScriptedInteraction::clear()
{
    m_answers.clear();
    m_shown.clear();
    m_problems.clear();
}

bool ScriptedInteraction::take(Answer::Kind kind, Answer &out, const QString &what)
{
    if (m_answers.empty()) {
        m_problems.append(QStringLiteral("no answer for %1").arg(what));
        return false;
    }
    const Answer::Kind next = m_answers.front().kind;
    if (next != kind && next != Answer::Cancel) {
        m_problems.append(QStringLiteral("answer of the wrong kind for %1").arg(what));
        return false;
    }
    out = std::move(m_answers.front());
    m_answers.pop_front();
    return true;
}

int ScriptedInteraction::message(TMsgDlgType kind, const QString &title, const QString &text,
                                 TMsgDlgButtons buttons, QWidget *)
{
    Shown shown;
    shown.kind = Shown::Message;
    shown.messageType = kind;
    shown.buttons = buttons;
    shown.title = title;
    shown.text = text;

    const bool okOnly = buttons == mbOK || buttons == 0;
    int result = mrNone;
    if (okOnly) {
        // Acknowledged on its own; an explicit ok() in front is consumed.
        if (!m_answers.empty() && m_answers.front().kind == Answer::Button
            && m_answers.front().button == mrOk) {
            m_answers.pop_front();
        }
        result = mrOk;
    } else {
        Answer a;
        const QString what = QStringLiteral("message \"%1\"").arg(text);
        if (take(Answer::Button, a, what)) {
            result = a.kind == Answer::Cancel ? ((buttons & mbCancel) ? mrCancel : mrNo) : a.button;
        } else {
            result = (buttons & mbCancel) ? mrCancel : (buttons & mbNo) ? mrNo : mrOk;
        }
    }
    shown.result = result;
    m_shown.append(shown);
    return result;
}

int ScriptedInteraction::ask(TMsgDlgType kind, const QString &title, const QString &text,
                             const QStringList &buttons, QWidget *)
{
    Shown shown{.kind = Shown::Message, .messageType = kind, .choices = buttons, .title = title, .text = text};
    const int giveUp = int(buttons.size()) - 1;
    int result = giveUp;
    Answer a;
    if (take(Answer::Choose, a, QStringLiteral("question \"%1\"").arg(text)) && a.kind == Answer::Choose) {
        result = int(buttons.indexOf(a.value));
        if (result < 0) {
            m_problems.append(QStringLiteral("question \"%1\" has no button %2").arg(text, a.value));
            result = giveUp;
        }
    }
    shown.result = result;
    m_shown.append(shown);
    return result;
}

int ScriptedInteraction::chooseOne(const ChoiceTable &table, const QString &title, QWidget *)
{
    Shown shown;
    shown.kind = Shown::ChooseOne;
    shown.title = title;
    shown.text = title;
    shown.table = table;
    shown.table.rows = table.rows.fixed();
    int row = -1;
    Answer a;
    if (take(Answer::PickRow, a, QStringLiteral("list \"%1\"").arg(title)) && a.kind == Answer::PickRow) {
        const int col = table.column(a.field);
        if (col < 0) {
            m_problems.append(QStringLiteral("list \"%1\" has no field %2").arg(title, a.field));
        } else {
            for (int r = 0; r < table.rows.size() && row < 0; ++r) {
                if (table.rows.text(r, col) == a.value) {
                    row = r;
                }
            }
            if (row < 0) {
                m_problems.append(QStringLiteral("list \"%1\" has no row %2 = %3").arg(title, a.field, a.value));
            }
        }
    }
    shown.result = row;
    m_shown.append(shown);
    return row;
}

std::optional<QList<int>> ScriptedInteraction::chooseMany(const ChoiceTable &table, int keyColumn,
                                                          const QString &title, QWidget *)
{
    Shown shown;
    shown.kind = Shown::ChooseMany;
    shown.title = title;
    shown.text = title;
    shown.table = table;
    shown.table.rows = table.rows.fixed();
    std::optional<QList<int>> rows;
    Answer a;
    if (take(Answer::PickKeys, a, QStringLiteral("list \"%1\"").arg(title)) && a.kind == Answer::PickKeys) {
        rows = QList<int>();
        for (const QString &key : a.keys) {
            int found = -1;
            for (int r = 0; r < table.rows.size() && found < 0; ++r) {
                if (table.rows.value(r, keyColumn) == key) {
                    found = r;
                }
            }
            if (found < 0) {
                m_problems.append(QStringLiteral("list \"%1\" has no key %2").arg(title, key));
            } else {
                rows->append(found);
            }
        }
    }
    shown.result = rows ? int(rows->size()) : -1;
    m_shown.append(shown);
    return rows;
}

int ScriptedInteraction::runModal(QDialog &dialog)
{
    Shown shown;
    shown.kind = Shown::Dialog;
    shown.title = dialog.windowTitle();
    shown.text = dialog.windowTitle();
    const qsizetype index = m_shown.size();
    m_shown.append(shown);

    Answer a;
    const bool scripted = take(Answer::Dialog, a, QStringLiteral("dialog \"%1\"").arg(dialog.windowTitle()));

    // The result survives a dialog that deletes itself on close.
    int result = QDialog::Rejected;
    QPointer<QDialog> guard(&dialog);
    const QMetaObject::Connection watch =
        QObject::connect(&dialog, &QDialog::finished, &dialog, [&result](int r) { result = r; });
    dialog.setResult(QDialog::Rejected);
    dialog.show();
    QCoreApplication::processEvents();
    if (scripted && a.kind == Answer::Dialog && a.drive && guard) {
        a.drive(dialog);
    }
    if (guard && guard->isVisible()) {
        if (scripted && a.kind == Answer::Dialog && a.accept) {
            guard->accept();
        } else {
            guard->reject();
        }
    }
    QCoreApplication::processEvents();
    QObject::disconnect(watch);
    m_shown[index].result = result;
    return result;
}

Answer Answer::saveAs(const QString &path, const QString &filter)
{
    Answer a;
    a.kind = SaveFile;
    a.value = path;
    a.field = filter;
    return a;
}

QString ScriptedInteraction::chooseSaveFile(const QString &title, const QString &fileName,
                                            const QStringList &filters, QString &filter, QWidget *)
{
    Shown shown;
    shown.kind = Shown::SaveFile;
    shown.title = title;
    shown.text = fileName;
    QString path;
    Answer a;
    if (take(Answer::SaveFile, a, QStringLiteral("file dialog \"%1\"").arg(title)) && a.kind == Answer::SaveFile) {
        path = a.value;
        if (!a.field.isEmpty()) {
            if (filters.contains(a.field))
                filter = a.field;
            else
                m_problems.append(QStringLiteral("file dialog \"%1\" has no filter %2").arg(title, a.field));
        }
    }
    shown.result = path.isEmpty() ? 0 : 1;
    m_shown.append(shown);
    return path;
}

Answer Answer::open(const QString &path)
{
    Answer a;
    a.kind = OpenFile;
    a.value = path;
    return a;
}

QString ScriptedInteraction::chooseOpenFile(const QString &title, const QStringList &, QWidget *)
{
    Shown shown;
    shown.kind = Shown::OpenFile;
    shown.title = title;
    QString path;
    Answer a;
    if (take(Answer::OpenFile, a, QStringLiteral("open dialog \"%1\"").arg(title)) && a.kind == Answer::OpenFile)
        path = a.value;
    shown.result = path.isEmpty() ? 0 : 1;
    m_shown.append(shown);
    return path;
}

} // namespace fiscal::clientlib
