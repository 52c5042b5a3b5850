#pragma once
// The interaction service of a running client: Qt message boxes and list dialogs.

#include "clientlib/interaction.h"

namespace fiscal::clientlib {

class QtInteraction : public Interaction {
    Q_OBJECT
public:
    explicit QtInteraction(QObject *parent = nullptr);

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
};

} // namespace fiscal::clientlib
