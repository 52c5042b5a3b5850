#pragma once
// Undoing a whole operation of the history.
//
// Every row the operation changed gets its group before back, but only where nothing has
// changed it since: no later operation still in force wrote it, and it still holds the group
// the operation wrote (which catches changes made outside the server). Rows the operation
// inserted are deleted and rows it deleted come back under the same conditions (and while
// the records and the group they refer to still exist). Other rows are left alone and
// counted as skipped, by reason. The undo is an operation of its own, recorded by the
// Recorder given, so undoing it redoes.
//
// A later operation is out of force on a row when it was undone there: its write and the
// undo's cancel out, so undoing operations newest first works row by row. Each later item
// counts +1 when it puts a value on the row (a plain write, or the redo of one) and -1 when
// it takes one off (an undo); the row is free when the sum is 0. An undo of an operation older
// than the one being undone reaches below it and always blocks the row.
//
//   history::Recorder h(c, {"DesfazOperacao", args, id});
//   const UndoResult r = undoOperation(h, id);   // inside the call's transaction; finishes h
//
// With a Recorder in Mode::Preview the same statements only count (SimulaDesfazOperacao).

#include <cstdint>
#include <vector>

namespace fiscal::appserver::history {

class Recorder;
struct Table;

struct Skipped {
    std::int64_t later = 0;     // written since by an operation still in force
    std::int64_t outside = 0;   // changed outside the server: it no longer holds what was written
    std::int64_t gone = 0;      // the record, or the group or a record its key refers to, no longer exists
    std::int64_t total() const { return later + outside + gone; }
};

struct TableUndo {
    const Table *table = nullptr;
    std::int64_t items = 0;      // the operation's rows in this table
    std::int64_t restored = 0;
    Skipped skipped;
};

struct UndoResult {
    std::int64_t operation = 0;   // the undo's id; 0 when nothing could be restored, and in a preview
    std::vector<TableUndo> tables;   // in the history's table order, only tables with items
    std::int64_t restored() const;
    Skipped skipped() const;
};

// Throws rpc::Fault: NotFound for an unknown (or pruned) operation, Conflict for one that
// was undone already.
UndoResult undoOperation(Recorder &h, std::int64_t id);

} // namespace fiscal::appserver::history
