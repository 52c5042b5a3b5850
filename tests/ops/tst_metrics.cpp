// The metrics as a Prometheus server reads them: the text parses with the Prometheus
// project's own parser and every figure is what the recorded calls make it.

#include "ops/metrics.h"
#include "testsupport.h"

#include <gtest/gtest.h>

using fiscal::ops::Metrics;
using fiscal::rpc::CallRecord;
using namespace std::chrono_literals;

namespace {

CallRecord call(std::string_view object, std::string_view method, int code,
                std::chrono::microseconds duration, bool known = true)
{
    CallRecord r;
    r.object = object;
    r.method = method;
    r.known = known;
    r.code = code;
    r.duration = duration;
    r.bytesIn = 100;
    r.bytesOut = 1000;
    return r;
}

const std::string kObj = "Ger10200.rdmParamGrupFiscal";

std::string series(const std::string &name, const std::string &method, const std::string &extra = {})
{
    return name + "{" + extra + (extra.empty() ? "" : ",") + "method=" + method + ",object="
           + (method == "unknown" ? std::string("unknown") : kObj) + "}";
}

TEST(Metrics, CountersHistogramsAndValuesReadBack)
{
    Metrics m;
    m.record(call(kObj, "SetCliente", 0, 300us));
    m.record(call(kObj, "SetCliente", 0, 3000us));
    m.record(call(kObj, "SetCliente", -32001, 700us));
    CallRecord cut = call(kObj, "GetDados", -32603, 2s);
    cut.broken = true;
    m.record(cut);
    // Names nobody registered all go into one series, whatever they are.
    m.record(call("Ger10200.rdmParamGrupFiscal", "Nada\"\n", -32601, 100us, false));
    m.record(call("Qualquer.Coisa", "x", -32601, 100us, false));
    CallRecord refused;
    refused.httpStatus = 401;
    refused.code = -32004;
    m.record(refused);
    m.record(refused);
    double pool = 3;
    m.addValue("fiscal_db_pool_in_use", "Conexões em uso.", Metrics::Kind::Gauge, [&] { return pool; });
    m.addValue("fiscal_db_pool_waits_total", "Esperas.", Metrics::Kind::Counter, [] { return 7.0; });

    const auto samples = fiscal::test::prometheusSamples(m.text());
    const auto value = [&](const std::string &key) {
        const auto it = samples.find(key);
        return it == samples.end() ? -1.0 : it->second;
    };
    const std::vector<std::pair<std::string, double>> expected{
        {series("fiscal_rpc_calls_total", "SetCliente"), 3},
        {series("fiscal_rpc_calls_total", "GetDados"), 1},
        {series("fiscal_rpc_calls_total", "unknown"), 2},
        {series("fiscal_rpc_errors_total", "SetCliente", "code=-32001"), 1},
        {series("fiscal_rpc_errors_total", "GetDados", "code=broken"), 1},
        {series("fiscal_rpc_errors_total", "unknown", "code=-32601"), 2},
        // 0.3 ms, 0.7 ms and 3 ms: one call up to 0.5 ms, two up to 1 ms, all three up to 5 ms
        {series("fiscal_rpc_duration_seconds_bucket", "SetCliente", "le=0.0005"), 1},
        {series("fiscal_rpc_duration_seconds_bucket", "SetCliente", "le=0.001"), 2},
        {series("fiscal_rpc_duration_seconds_bucket", "SetCliente", "le=0.0025"), 2},
        {series("fiscal_rpc_duration_seconds_bucket", "SetCliente", "le=0.005"), 3},
        {series("fiscal_rpc_duration_seconds_bucket", "SetCliente", "le=+Inf"), 3},
        {series("fiscal_rpc_duration_seconds_count", "SetCliente"), 3},
        {series("fiscal_rpc_duration_seconds_bucket", "GetDados", "le=1"), 0},
        {series("fiscal_rpc_duration_seconds_bucket", "GetDados", "le=2.5"), 1},
        {series("fiscal_rpc_request_bytes_total", "SetCliente"), 300},
        {series("fiscal_rpc_response_bytes_total", "SetCliente"), 3000},
        {"fiscal_http_refusals_total{status=401}", 2},
        {"fiscal_db_pool_in_use", 3},
        {"fiscal_db_pool_waits_total", 7},
    };
    for (const auto &[key, v] : expected)
        EXPECT_EQ(value(key), v) << key;
    EXPECT_NEAR(value(series("fiscal_rpc_duration_seconds_sum", "SetCliente")), 0.004, 1e-9);
    EXPECT_EQ(samples.count("fiscal_rpc_calls_total{method=Qualquer.Coisa,object=unknown}"), 0u);

    // Values are read when the text is made.
    pool = 1;
    EXPECT_EQ(fiscal::test::prometheusSamples(m.text()).at("fiscal_db_pool_in_use"), 1);
}

TEST(Metrics, EmptyRegistryIsValidText)
{
    EXPECT_TRUE(fiscal::test::prometheusSamples(Metrics().text()).empty());
}

} // namespace
