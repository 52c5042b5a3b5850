#pragma once
// The change history's screens (GER10204), opened from the main screen:
//
//   TfrmHistoricoRegistro  "Histórico do registro": every change of one record, newest
//                          first: when, who, which operation, the group before and after
//   TfrmOperacoes          "Operações recentes": the operations, newest first, a page at a
//                          time, with their user, what they did in words and their counts;
//                          "Desfazer" undoes the selected one once the user has confirmed
//                          whose it is, when it ran, what it did and what the undo would
//                          restore; "Registros..." lists the rows it changed
// Both print and export their rows as shown.
//
// Each keeps its own connection to Ger10204.rdmHistorico, opened by its first call and
// closed with the window. Both are modal and run through the interaction service.
//
//   operationtext.cpp      the operations and items in words
//   historicoregistro.cpp  TfrmHistoricoRegistro
//   operacoes.cpp          TfrmOperacoes, TfrmItensOperacao, the undo
//   tablereport.cpp        print and export of their tables
//   situacaoem.h           "Situação em…": a tab as it was at a past moment

#include <QDialog>
#include <QHash>
#include <QStringList>
#include <functional>

class QLabel;
class QTableWidget;
class QToolButton;

namespace fiscal::ger10200 {

class NetRemoteObject;

// One record as the history names it.
struct RecordRef {
    QString table;          // CLIENTE, GRFISIMPIEFORN, ...
    QStringList key;        // its key fields, in key order
    QString caption;        // "Cliente 00000001 - Mercado Bom Preço", for the title line
};

class TfrmHistoricoRegistro : public QDialog {
    Q_OBJECT
    Q_PROPERTY(bool loaded READ isLoaded)
public:
    TfrmHistoricoRegistro(RecordRef record, QWidget *parent = nullptr);
    ~TfrmHistoricoRegistro() override;

    bool isLoaded() const { return m_loaded; }
    void Atualiza();

    QLabel *lblRegistro;
    QTableWidget *tblHistorico;
    QLabel *lblNenhuma;     // over the empty table: nothing recorded for the record
    QToolButton *sbtVerificar;
    QToolButton *sbtImprimir;
    QToolButton *sbtExportar;
    QToolButton *sbtFechar;
    NetRemoteObject *netHistorico;

protected:
    void showEvent(QShowEvent *event) override;

private:
    RecordRef m_record;
    bool m_loaded = false;
    bool m_shown = false;
};

class TfrmOperacoes : public QDialog {
    Q_OBJECT
    Q_PROPERTY(bool loaded READ isLoaded)
public:
    // The screen behind, which reads again the tables an undo writes: `mayReload` before the
    // undo (false: it does not happen), `reload` after it.
    struct ScreenBehind {
        std::function<bool(const QStringList &tables)> mayReload;
        std::function<void(const QStringList &tables)> reload;
    };
    explicit TfrmOperacoes(ScreenBehind behind = {}, QWidget *parent = nullptr);
    ~TfrmOperacoes() override;

    bool isLoaded() const { return m_loaded; }
    void Atualiza();        // the newest page again
    void MaisAntigas();     // the next page, below the rows shown
    void Desfazer();        // the selected operation
    void MostraRegistros(); // the rows of the selected operation

    QTableWidget *tblOperacoes;
    QLabel *lblNenhuma;     // over the empty table: no operation recorded yet
    QToolButton *sbtVerificar;
    QToolButton *sbtMaisAntigas;
    QToolButton *sbtRegistros;
    QToolButton *sbtDesfazer;
    QToolButton *sbtImprimir;
    QToolButton *sbtExportar;
    QToolButton *sbtFechar;
    NetRemoteObject *netHistorico;

protected:
    void showEvent(QShowEvent *event) override;

private:
    void append(const QString &before);
    QString stateOf(const QString &id) const;
    void selectionChanged();
    void showAgain(const QString &undoneId, int rowsShown);   // after an undo

    ScreenBehind m_behind;
    bool m_loaded = false;
    bool m_shown = false;
    QHash<QString, QString> m_undoneBy;   // operation -> the undo that took it back, as listed
};

// Create the dialog, run it modally through the interaction service, release it.
void Cria_HistoricoRegistro(QWidget *parent, const RecordRef &record);
void Cria_OperacoesRecentes(QWidget *parent, TfrmOperacoes::ScreenBehind behind);

} // namespace fiscal::ger10200
