#pragma once
// What the ways of applying a change set (apply.h) share: SQL fragments over a table's
// key, and the checks of groups and references. Inside the saving folder only.

#include "appserver/common/faults.h"
#include "appserver/common/text.h"
#include "appserver/saving/changeset.h"
#include "storage/database.h"

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace fiscal::appserver::history {
class Recorder;
}

namespace fiscal::appserver::changeset::detail {

using Param = std::optional<std::string_view>;

inline Param opt(const Value &v) { return v ? Param(*v) : std::nullopt; }

// "A, B" (each prefixed with `prefix`)
std::string keyColumns(const TableSpec &spec, const char *prefix = "");
// "A = $first AND B = $first+1 ..."
std::string keyEquals(const TableSpec &spec, int first);
// Every new group of the items exists (NotFound naming the first that does not).
void checkGroups(storage::Connection &c, const std::vector<Item> &items);
// The item's values of a reference's key columns, and whether the referenced row exists.
std::vector<std::string> refValues(const Reference &ref, const Item &item);
bool refExists(storage::Connection &c, const Reference &ref, const std::vector<std::string> &values);

// Checks one reference of `items` tuple by tuple (distinct tuples only).
template <class Items, class Get>
void checkReferenceEach(storage::Connection &c, const Reference &ref, const Items &items, Get get)
{
    std::set<std::vector<std::string>> checked;
    for (const auto &entry : items) {
        const Item &item = get(entry);
        std::vector<std::string> values = refValues(ref, item);
        if (!checked.insert(values).second)
            continue;
        if (!refExists(c, ref, values))
            notFound(format(ref.missing, item.key));
    }
}

// True when the group of a one-row-kind save can be checked by its UPDATE itself.
bool groupCheckFitsInUpdate(const TableSpec &spec, const std::vector<Item> &items);

// The two ways inside one transaction (apply.h says which is taken when).
void applyRowByRow(storage::Connection &c, const TableSpec &spec, const std::vector<Item> &items,
                   history::Recorder &h);
void applySetBased(storage::Connection &c, const TableSpec &spec, const std::vector<Item> &items,
                   history::Recorder &h);

} // namespace fiscal::appserver::changeset::detail
