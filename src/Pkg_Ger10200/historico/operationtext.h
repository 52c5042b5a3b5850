#pragma once
// The history's operations and items in words, as the history screens show them.
//
//   methodCaption("CadastroAutomatico")                          -> "Cadastramento automático"
//   argumentsInWords("CadastroAutomatico", R"(["CLIENTE","004","","V","","",""])")
//                      -> "Clientes: grupo 004 nos registros sem grupo"
//   localTime("2026-12-08T13:15:30.123Z")                        -> "08/12/2026 10:15:30" (local)
//   skippedInWords(1, 2, 0)   -> "1 alterado por uma operação posterior e 2 alterados fora do sistema"
//   undoState({{"12", "15"}, {"15", "16"}}, "12")   -> "Refeita pela operação 16"

#include <QHash>
#include <QString>
#include <QStringList>

namespace fiscal::ger10200::historico {

QString methodCaption(const QString &method);
// The arguments a method was called with, as the history keeps them (a JSON array), in words.
// Anything it cannot read comes back as it is.
QString argumentsInWords(const QString &method, const QString &argumentsJson);
// "Clientes", "Imposto por filial", ... for a table of the history; the name itself otherwise.
QString tableCaption(const QString &table);
// A, I, E -> "Alterado", "Incluído", "Excluído".
QString actionCaption(const QString &action);
// The UTC time of the history in the local time zone; the text as it is when unreadable.
QString localTime(const QString &utc, bool seconds = true);
// Rows an undo leaves as they are, by reason.
QString skippedInWords(qint64 later, qint64 outside, qint64 gone);
// "004 - Revenda" / "004" / "(nenhum)".
QString groupText(const QString &code, const QString &description);
// "1.234" as a Brazilian count.
QString count(qint64 n);
// Whether an operation is in force, from who undid whom (operation -> the undo that took it
// back): "Desfeita pela operação 15"; an undo of that undo puts it back in force, "Refeita
// pela operação 16"; undone again, it reads as undone by the last one. Empty when never undone.
QString undoState(const QHash<QString, QString> &undoneBy, const QString &id);

} // namespace fiscal::ger10200::historico
