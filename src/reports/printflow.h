#pragma once
// What the print and export commands of a screen do with a ReportTable:
//
//   previewReport(table, parent, prompts)  a print preview (the first kPreviewPages pages); printing
//                                 from it, to a printer or to a PDF file, paints every page
//                                 with a progress window whose Cancel stops the job
//   exportReport(table, parent, prompts)   asks for a file (PDF, XLSX or CSV, by the filter or the
//                                 extension chosen), writes it with a progress window and
//                                 says how it went; a cancelled or failed export leaves no
//                                 file behind and says so
//
// The file dialog and every box go through the caller's prompts (prompts.h).

#include "reports/prompts.h"
#include "reports/reporttable.h"

#include <QPageLayout>

class QWidget;

namespace fiscal::reports {

// A preview holds its pages as pictures in memory; a long report is previewed in part.
inline constexpr int kPreviewPages = 50;

enum class ExportFormat { Pdf, Xlsx, Csv };

void previewReport(const ReportTable &table, QWidget *parent, Prompts &prompts);
void exportReport(const ReportTable &table, QWidget *parent, Prompts &prompts);

// Writes one format to `path` with a progress window; true when the file was written,
// false when the user cancelled. Failures throw ExportError.
bool writeReport(const ReportTable &table, ExportFormat format, const QString &path, QWidget *parent);

// Landscape when the columns would be too narrow on a portrait page.
QPageLayout::Orientation orientationFor(const ReportTable &table);

} // namespace fiscal::reports
