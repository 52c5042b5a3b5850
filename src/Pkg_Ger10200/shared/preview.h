#pragma once
// What a bulk call would do, told before it runs: the answer of its preview (SimulaReplica,
// SimulaCadastroAutomatico, SimulaCadAutoImpInscEsta: one row per table with the counts
// changed, inserted and deleted) in words, as the dialogs' "Simular" shows it.
//
//   previewText(packet)   "Serão alterados 1.234 clientes e 56 fornecedores."
//                         "Serão incluídas 3 operações interestaduais. Será excluído 1 ..."
//                         "Nenhum registro será alterado."

#include "dataset/packet.h"

#include <QCborArray>
#include <QList>
#include <QString>

#include <utility>

class QWidget;

namespace fiscal::ger10200 {

class NetRemoteObject;

QString previewText(const dataset::DataPacket &counts);

// Rows per table in words: {{"CLIENTE", 1234}, {"FILIAL", 1}} -> "1.234 clientes e 1 filial".
QString countedRows(const QList<std::pair<QString, qint64>> &perTable);

// Runs the preview `method` with `params`, under the wait animation over `owner`, and shows
// its text in an information box. Changes nothing.
void showPreview(NetRemoteObject &net, const QString &method, const QCborArray &params, QWidget *owner);

} // namespace fiscal::ger10200
