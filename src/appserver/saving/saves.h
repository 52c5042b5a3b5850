#pragma once
// The saving methods (Set*, setTipoGest): one change set per call, decoded and applied by
// one of the ways apply.h names. Each call is one transaction (or one statement), recorded
// in the history as one operation.
//
//   auto saves = std::make_shared<Saves>(pool);   // shared by every saving method
//   saves->save(spec, params, out);               // answers null, now or later (combined)

#include "appserver/common/connectionpool.h"
#include "appserver/saving/apply_combined.h"
#include "appserver/saving/changeset.h"
#include "dataset/valuewriter.h"

#include <QCborArray>
#include <vector>

namespace fiscal::appserver {

class Saves {
public:
    explicit Saves(ConnectionPool &pool);

    void save(const changeset::TableSpec &spec, const QCborArray &params, dataset::ValueWriter &out);

private:
    // Ways 1 and 2, in a transaction of the call's own.
    void saveAlone(const changeset::TableSpec &spec, const std::vector<changeset::Item> &items);

    ConnectionPool &m_pool;
    CombinedSaves m_combined;
};

} // namespace fiscal::appserver
