#pragma once
// The one service behind every modal box and list of the client:
//
//   message(kind, title, text, buttons)  -> mrOk / mrYes / mrNo / mrCancel
//   ask(kind, title, text, {"Gravar", "Descartar", "Cancelar"}) -> index of the button
//   chooseOne(table, title)              -> chosen row or -1           (Pesquisar)
//   chooseMany(table, keyColumn, title)  -> chosen rows or nullopt     (PesquisaLista)
//   runModal(dialog)                     -> QDialog::Accepted / Rejected
//   chooseSaveFile(title, name, filters) -> the file to write, or empty when given up
//   chooseOpenFile(title, filters)       -> the file to read, or empty when given up
//
// The real service (QtInteraction) uses Qt dialogs; tests install a ScriptedInteraction
// that answers from a queue, so no test ever blocks on a modal loop. setInteraction()
// also makes the service the error reporter of the guarded event dispatch, so an error
// escaping an event handler is shown through it too.
//
// There is one service per process: the host, its modules and a test share it.

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>

class QDialog;
class QWidget;

namespace fiscal::clientlib {

// Kinds of message box.
enum TMsgDlgType { mtWarning, mtError, mtInformation, mtConfirmation };

// Buttons of a message box (a set) and the results, numbered as the screens expect them.
using TMsgDlgButtons = int;
constexpr TMsgDlgButtons mbYes = 0x1;
constexpr TMsgDlgButtons mbNo = 0x2;
constexpr TMsgDlgButtons mbOK = 0x4;
constexpr TMsgDlgButtons mbCancel = 0x8;
constexpr TMsgDlgButtons mbYesNo = mbYes | mbNo;
constexpr TMsgDlgButtons mbOKCancel = mbOK | mbCancel;
constexpr TMsgDlgButtons mbYesNoCancel = mbYes | mbNo | mbCancel;

constexpr int mrNone = 0;
constexpr int mrOk = 1;
constexpr int mrCancel = 2;
constexpr int mrYes = 6;
constexpr int mrNo = 7;

// The rows of a list as texts. Read when needed: a list over half a million records reads
// the rows on screen and those a search looks at, and copies none. Or fixed, for small
// lists and for keeping what a list showed.
class ChoiceRows {
public:
    using Text = std::function<QString(int row, int column)>;

    ChoiceRows() = default;
    // `display`: the text shown; `value`: what a search compares (the stored value, such
    // as a number without its mask); the shown text when not given.
    ChoiceRows(int count, int columns, Text display, Text value = {});
    ChoiceRows(const QList<QStringList> &rows);

    int size() const { return m_count; }
    bool isEmpty() const { return m_count == 0; }
    int columns() const { return m_columns; }
    QString text(int row, int column) const;
    QString value(int row, int column) const;
    bool hasValues() const { return bool(m_value); }
    QStringList at(int row) const;
    QStringList operator[](int row) const { return at(row); }

    // for (const QStringList &row : rows): each row's texts, read as the loop gets there.
    class const_iterator {
    public:
        const_iterator(const ChoiceRows *rows, int row) : m_rows(rows), m_row(row) {}
        QStringList operator*() const { return m_rows->at(m_row); }
        const_iterator &operator++() { ++m_row; return *this; }
        bool operator!=(const const_iterator &other) const { return m_row != other.m_row; }
    private:
        const ChoiceRows *m_rows;
        int m_row;
    };
    const_iterator begin() const { return {this, 0}; }
    const_iterator end() const { return {this, m_count}; }
    // The same rows with their texts copied, independent of where they were read from.
    ChoiceRows fixed() const;

private:
    int m_count = 0;
    int m_columns = 0;
    Text m_display;
    Text m_value;
};

// What a list offers. Field names let a script pick a row by value.
struct ChoiceTable {
    QStringList fieldNames;          // one per column
    QStringList titles;              // column headers shown to the user
    QList<int> widths;               // least width of each column, in characters (0: none)
    QList<int> hidden;               // columns a person does not see (a key kept for the server)
    ChoiceRows rows;                 // text per row and column
    int current = -1;                // row to start on
    QList<int> checked;              // multi-choice: rows checked at the start

    // Column of that field, matched without regard to case; -1 when absent.
    int column(const QString &fieldName) const;
};

class Interaction : public QObject {
    Q_OBJECT
public:
    ~Interaction() override;

    virtual int message(TMsgDlgType kind, const QString &title, const QString &text,
                        TMsgDlgButtons buttons, QWidget *parent) = 0;
    // A box whose buttons say what each does; returns the index of the one chosen. The last
    // button gives up: Escape and the window's close button choose it.
    virtual int ask(TMsgDlgType kind, const QString &title, const QString &text, const QStringList &buttons,
                    QWidget *parent) = 0;
    // Row chosen, or -1 when the user cancelled.
    virtual int chooseOne(const ChoiceTable &table, const QString &title, QWidget *parent) = 0;
    // Rows chosen (possibly none), or nullopt when the user cancelled.
    virtual std::optional<QList<int>> chooseMany(const ChoiceTable &table, int keyColumn,
                                                 const QString &title, QWidget *parent) = 0;
    // Runs the dialog modally and returns its result code.
    virtual int runModal(QDialog &dialog) = 0;
    // The file the user chose to write, or an empty string when they gave up. `filters` as
    // QFileDialog takes them ("Documento PDF (*.pdf)"); `filter` holds the one to start
    // with and comes back with the one chosen. `fileName` is the name suggested.
    virtual QString chooseSaveFile(const QString &title, const QString &fileName,
                                   const QStringList &filters, QString &filter, QWidget *parent) = 0;
    // The existing file the user chose to read, or an empty string when they gave up.
    virtual QString chooseOpenFile(const QString &title, const QStringList &filters, QWidget *parent) = 0;
};

// The current service; the Qt one until another is installed.
Interaction &interaction();

// Installs a service (nullptr: back to the Qt one) and returns the one it replaces.
std::unique_ptr<Interaction> setInteraction(std::unique_ptr<Interaction> service);

// Installs a service for a scope and restores the previous one afterwards.
class InteractionScope {
public:
    explicit InteractionScope(std::unique_ptr<Interaction> service);
    ~InteractionScope();
    InteractionScope(const InteractionScope &) = delete;
    InteractionScope &operator=(const InteractionScope &) = delete;
private:
    std::unique_ptr<Interaction> m_previous;
};

// Title of a message box of that kind ("Informação", "Erro", ...).
QString messageTitle(TMsgDlgType kind);

} // namespace fiscal::clientlib
