#pragma once
// What GET /metrics answers, in the Prometheus text format (version 0.0.4):
//
//   fiscal_rpc_calls_total{object,method}             calls answered
//   fiscal_rpc_errors_total{object,method,code}       of those, the failed ones by error code
//                                                     ("broken": the reply broke off midway)
//   fiscal_rpc_duration_seconds{object,method}        histogram of the time per call
//   fiscal_rpc_request_bytes_total{object,method}     request bodies received
//   fiscal_rpc_response_bytes_total{object,method}    reply bodies sent
//   fiscal_http_refusals_total{status}                requests refused before JSON-RPC
//   plus the gauges and counters the process adds (database pool, connections, health).
//
// Only registered objects and methods get their own labels; every unknown name a client
// may send is counted under object="unknown", method="unknown", so no request can make the
// answer grow. Thread-safe.

#include "rpc/serverhooks.h"

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace fiscal::ops {

class Metrics {
public:
    // Upper bounds of the duration histogram's buckets, in seconds (+Inf comes last).
    static constexpr std::array<double, 16> kBuckets{0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025,
                                                     0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60};

    void record(const rpc::CallRecord &call);

    enum class Kind { Gauge, Counter };
    // A value read each time the text is made (pool figures, open connections).
    void addValue(std::string name, std::string help, Kind kind, std::function<double()> read);

    std::string text() const;

private:
    struct Series {
        std::uint64_t calls = 0;
        std::map<std::string, std::uint64_t> errors;   // by code
        std::array<std::uint64_t, kBuckets.size()> buckets{};   // not cumulative here
        double seconds = 0;
        std::uint64_t bytesIn = 0;
        std::uint64_t bytesOut = 0;
    };
    struct Value {
        std::string name;
        std::string help;
        Kind kind;
        std::function<double()> read;
    };

    mutable std::mutex m_mutex;
    std::map<std::pair<std::string, std::string>, Series> m_series;
    std::map<int, std::uint64_t> m_refusals;   // by HTTP status
    std::vector<Value> m_values;
};

} // namespace fiscal::ops
