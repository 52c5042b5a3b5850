#pragma once
// Undoing a whole operation of the history.
//
// Every row the operation changed gets its group before back, but only where it still holds
// the group the operation wrote: a row changed since (by anyone) is left alone and counted as
// skipped. Rows the operation inserted are deleted and rows it deleted come back under the
// same condition (and while the records and the group they refer to still exist). The undo
// is an operation of its own, recorded by the Recorder given, so undoing it redoes.
//
//   history::Recorder h(c, {"DesfazOperacao", args, id});
//   const UndoResult r = undoOperation(h, id);   // inside the call's transaction; finishes h

#include <cstdint>
#include <string>
#include <vector>

namespace fiscal::appserver::history {

class Recorder;

struct UndoResult {
    std::int64_t operation = 0;   // the undo's id; 0 when nothing could be restored
    std::int64_t restored = 0;
    std::int64_t skipped = 0;
    std::vector<std::string> tables;   // the tables it wrote, as recorded
};

// Throws rpc::Fault: NotFound for an unknown (or pruned) operation, Conflict for one that
// was undone already.
UndoResult undoOperation(Recorder &h, std::int64_t id);

} // namespace fiscal::appserver::history
