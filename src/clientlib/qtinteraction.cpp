#include "clientlib/qtinteraction.h"

#include "clientlib/choicedialog.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>

#include <algorithm>

namespace fiscal::clientlib {

QtInteraction::QtInteraction(QObject *parent)
{
    setParent(parent);
}

int QtInteraction::message(TMsgDlgType kind, const QString &title, const QString &text,
                           TMsgDlgButtons buttons, QWidget *parent)
{
    QMessageBox::Icon icon = QMessageBox::Information;
    switch (kind) {
    case mtWarning: icon = QMessageBox::Warning; break;
    case mtError: icon = QMessageBox::Critical; break;
    case mtInformation: icon = QMessageBox::Information; break;
    case mtConfirmation: icon = QMessageBox::Question; break;
    }
    QMessageBox box(icon, title.isEmpty() ? messageTitle(kind) : title, text, QMessageBox::NoButton,
                    parent ? parent : QApplication::activeWindow());
    // Buttons in Portuguese, mapped back to the results the screens compare with.
    struct Choice { TMsgDlgButtons flag; const char *caption; QMessageBox::ButtonRole role; int result; };
    static const Choice choices[] = {
        {mbYes, "Sim", QMessageBox::YesRole, mrYes},
        {mbNo, "Não", QMessageBox::NoRole, mrNo},
        {mbOK, "OK", QMessageBox::AcceptRole, mrOk},
        {mbCancel, "Cancelar", QMessageBox::RejectRole, mrCancel},
    };
    QList<QPair<QAbstractButton *, int>> added;
    for (const Choice &c : choices) {
        if (buttons & c.flag) {
            added.append({box.addButton(QString::fromUtf8(c.caption), c.role), c.result});
        }
    }
    if (added.isEmpty()) {
        added.append({box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole), mrOk});
    }
    // Enter alone must not confirm what the question warns about (a replication that
    // deletes, a registration that clears every group, an undo): "Não" is the default.
    for (const auto &[button, result] : added) {
        if (result == mrNo)
            box.setDefaultButton(qobject_cast<QPushButton *>(button));
    }
    box.exec();
    for (const auto &[button, result] : added) {
        if (box.clickedButton() == button) {
            return result;
        }
    }
    // Closed with Escape or the window button.
    return (buttons & mbCancel) ? mrCancel : (buttons & mbNo) ? mrNo : mrOk;
}

int QtInteraction::ask(TMsgDlgType kind, const QString &title, const QString &text, const QStringList &buttons,
                       QWidget *parent)
{
    const QMessageBox::Icon icons[] = {QMessageBox::Warning, QMessageBox::Critical, QMessageBox::Information,
                                       QMessageBox::Question};
    QMessageBox box(icons[kind], title.isEmpty() ? messageTitle(kind) : title, text, QMessageBox::NoButton,
                    parent ? parent : QApplication::activeWindow());
    QList<QAbstractButton *> added;
    for (qsizetype i = 0; i < buttons.size(); ++i)
        added.append(box.addButton(buttons[i], i + 1 == buttons.size() ? QMessageBox::RejectRole
                                               : i == 0                 ? QMessageBox::AcceptRole
                                                                        : QMessageBox::DestructiveRole));
    if (!added.isEmpty()) {
        // One action and the way out ("Desativar", "Cancelar"): the way out is the default,
        // as "Não" is in a yes-or-no question. With more, the first (as "Gravar").
        box.setDefaultButton(qobject_cast<QPushButton *>(added.size() == 2 ? added.last() : added.first()));
        box.setEscapeButton(added.last());
    }
    box.exec();
    const int chosen = int(added.indexOf(box.clickedButton()));
    return chosen >= 0 ? chosen : int(buttons.size()) - 1;
}

int QtInteraction::chooseOne(const ChoiceTable &table, const QString &title, QWidget *parent)
{
    ChoiceDialog dialog(table, title, false, parent ? parent : QApplication::activeWindow());
    if (dialog.exec() != QDialog::Accepted) {
        return -1;
    }
    return dialog.chosenRow();
}

std::optional<QList<int>> QtInteraction::chooseMany(const ChoiceTable &table, int,
                                                    const QString &title, QWidget *parent)
{
    ChoiceDialog dialog(table, title, true, parent ? parent : QApplication::activeWindow());
    if (dialog.exec() != QDialog::Accepted) {
        return std::nullopt;
    }
    return dialog.checkedRows();
}

int QtInteraction::runModal(QDialog &dialog)
{
    return dialog.exec();
}

QString QtInteraction::chooseSaveFile(const QString &title, const QString &fileName,
                                     const QStringList &filters, QString &filter, QWidget *parent)
{
    // Qt's own dialog (not the desktop's), so that its texts come from Qt's translations.
    QFileDialog dialog(parent ? parent : QApplication::activeWindow(), title, QDir::home().filePath(fileName),
                       filters.join(QStringLiteral(";;")));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    // The question about replacing a file is asked here, about the file that will be written:
    // Qt's dialog adds its extension only to a name without a dot ("Fornecedor.dezembro" has
    // one), and would ask about the name typed.
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    const auto suffixOf = [](const QString &f) {
        static const QRegularExpression pattern(QStringLiteral("\\(\\*\\.(\\w+)"));
        return pattern.match(f).captured(1);
    };
    if (!filter.isEmpty())
        dialog.selectNameFilter(filter);
    dialog.setDefaultSuffix(suffixOf(dialog.selectedNameFilter()));
    QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog,
                     [&dialog, suffixOf](const QString &f) { dialog.setDefaultSuffix(suffixOf(f)); });
    for (;;) {
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return QString();
        filter = dialog.selectedNameFilter();
        QString path = dialog.selectedFiles().constFirst();
        const QString suffix = QFileInfo(path).suffix();
        const bool known = std::any_of(filters.begin(), filters.end(), [&](const QString &f) {
            return suffixOf(f).compare(suffix, Qt::CaseInsensitive) == 0;
        });
        if (!known && !suffixOf(filter).isEmpty())
            path += QLatin1Char('.') + suffixOf(filter);
        if (!QFileInfo::exists(path))
            return path;
        const auto answer = QMessageBox::question(
            dialog.parentWidget(), title,
            QStringLiteral("%1 já existe.\nDeseja substituí-lo?").arg(QFileInfo(path).fileName()),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer == QMessageBox::Yes)
            return path;
        dialog.selectFile(QFileInfo(path).fileName());
    }
}

QString QtInteraction::chooseOpenFile(const QString &title, const QStringList &filters, QWidget *parent)
{
    return QFileDialog::getOpenFileName(parent ? parent : QApplication::activeWindow(), title, QDir::homePath(),
                                        filters.join(QStringLiteral(";;")), nullptr, QFileDialog::DontUseNativeDialog);
}

} // namespace fiscal::clientlib
