#pragma once
// "Importar planilha": a spreadsheet's lines checked by the server before anything is
// written (SimulaImportaGrupos), shown as counts, every error by its line in the file and a
// sample of the changes; "Importar" applies them (ImportaGrupos) as one operation that
// "Operações recentes" can undo. The file is read by src/importing; this dialog only shows.
//
//   auto dlg = ImportDialog::open(target, path, parent);   // nullptr: the file was refused (told)
//   clientlib::interaction().runModal(*dlg);                // Accepted: something was imported

#include "Pkg_Ger10200/importacao/importtarget.h"
#include "importing/importlines.h"

#include <QDialog>

#include <memory>

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QTableWidget;

namespace fiscal::ger10200 {

class NetRemoteObject;

class ImportDialog : public QDialog {
    Q_OBJECT
public:
    // Reads the file's first visible sheet and asks the server; nullptr (after telling the
    // person why) when the file cannot be read.
    static std::unique_ptr<ImportDialog> open(const ImportTarget &target, const QString &path, QWidget *parent);
    ~ImportDialog() override;

    QComboBox *cbxFolha = nullptr;
    QLabel *lblArquivo = nullptr;
    QLabel *lblColunas = nullptr;
    QLabel *lblContagem = nullptr;
    QTableWidget *grdErros = nullptr;
    QTableWidget *grdAmostra = nullptr;
    QCheckBox *chkSomenteValidas = nullptr;
    QPushButton *btnExportarErros = nullptr;
    QPushButton *btnImportar = nullptr;
    QPushButton *btnFechar = nullptr;

    struct Counts {
        std::int64_t read = 0, toChange = 0, same = 0, errors = 0;
    };
    const Counts &counts() const { return m_counts; }
    // Every error: the line in the file and the reason, in line order.
    const std::vector<importing::LineError> &errors() const { return m_errors; }
    // "Importar" sent the lines at least once, whether or not an answer came back.
    bool importTried() const { return m_importTried; }

private:
    ImportDialog(const ImportTarget &target, const QString &path, QWidget *parent);
    void build();
    void load(int sheet);        // throws importing::ReadError
    void check();                // SimulaImportaGrupos over the lines read
    void display();
    void updateButtons();
    void exportErrors();
    void runImport();

    ImportTarget m_target;
    QString m_path;
    std::unique_ptr<importing::SheetSource> m_source;
    std::vector<int> m_sheetIndex;              // combo row -> sheet
    importing::ImportFile m_file;
    std::vector<importing::LineError> m_errors;
    std::vector<bool> m_wrong;                  // per line of m_file.lines: the server found it wrong
    Counts m_counts;
    NetRemoteObject *m_net = nullptr;
    bool m_importTried = false;
};

} // namespace fiscal::ger10200
