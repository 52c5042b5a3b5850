#pragma once
// The GET paths of fiscal-server besides /rpc, for rpc::ServerOptions::answerGet:
//   /health   Health::answer()
//   /metrics  Metrics::text(), Prometheus text format
// A query string is ignored. Both must outlive the server.

#include "ops/health.h"
#include "ops/metrics.h"
#include "rpc/serverhooks.h"

namespace fiscal::ops {

rpc::GetAnswerer endpoints(const Health &health, const Metrics &metrics);

} // namespace fiscal::ops
