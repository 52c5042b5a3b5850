#include "ops/metrics.h"

#include <charconv>
#include <cmath>

namespace fiscal::ops {

namespace {

const std::string kUnknown = "unknown";

std::string number(double v, std::chars_format format = std::chars_format::general)
{
    if (std::isnan(v))
        return "NaN";
    if (std::isinf(v))
        return v > 0 ? "+Inf" : "-Inf";
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v, format);
    return std::string(buf, r.ptr);
}

std::string labelValue(std::string_view v)
{
    std::string out;
    out.reserve(v.size());
    for (char c : v) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string codeLabel(const rpc::CallRecord &call)
{
    return call.broken ? std::string("broken") : std::to_string(call.code);
}

void family(std::string &out, const char *name, const char *type, const std::string &help)
{
    out += "# HELP ";
    out += name;
    out += ' ';
    for (char c : help)
        out += c == '\n' ? std::string("\\n") : c == '\\' ? std::string("\\\\") : std::string(1, c);
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

} // namespace

void Metrics::record(const rpc::CallRecord &call)
{
    std::lock_guard lock(m_mutex);
    if (call.httpStatus != 200) {
        ++m_refusals[call.httpStatus];
        return;
    }
    const std::string &object = call.known ? std::string(call.object) : kUnknown;
    const std::string &method = call.known ? std::string(call.method) : kUnknown;
    Series &s = m_series[{object, method}];
    ++s.calls;
    if (call.code != 0 || call.broken)
        ++s.errors[codeLabel(call)];
    const double seconds = std::chrono::duration<double>(call.duration).count();
    s.seconds += seconds;
    for (std::size_t i = 0; i < kBuckets.size(); ++i) {
        if (seconds <= kBuckets[i]) {
            ++s.buckets[i];
            break;
        }
    }
    s.bytesIn += call.bytesIn;
    s.bytesOut += call.bytesOut;
}

void Metrics::addValue(std::string name, std::string help, Kind kind, std::function<double()> read)
{
    std::lock_guard lock(m_mutex);
    m_values.push_back({std::move(name), std::move(help), kind, std::move(read)});
}

std::string Metrics::text() const
{
    // The values are read without the lock: their readers may take locks of their own.
    std::vector<std::pair<const Value *, double>> values;
    {
        std::lock_guard lock(m_mutex);
        for (const Value &v : m_values)
            values.emplace_back(&v, 0.0);
    }
    for (auto &[v, x] : values)
        x = v->read();

    std::lock_guard lock(m_mutex);
    std::string out;
    out.reserve(4096 + m_series.size() * 2048);
    const auto labels = [](const std::pair<std::string, std::string> &key) {
        return "object=\"" + labelValue(key.first) + "\",method=\"" + labelValue(key.second) + '"';
    };

    family(out, "fiscal_rpc_calls_total", "counter", "Chamadas JSON-RPC atendidas, por objeto e método.");
    for (const auto &[key, s] : m_series)
        out += "fiscal_rpc_calls_total{" + labels(key) + "} " + std::to_string(s.calls) + '\n';

    family(out, "fiscal_rpc_errors_total", "counter",
           "Chamadas que terminaram em erro, por código JSON-RPC (broken: resposta interrompida).");
    for (const auto &[key, s] : m_series)
        for (const auto &[code, n] : s.errors)
            out += "fiscal_rpc_errors_total{" + labels(key) + ",code=\"" + labelValue(code) + "\"} "
                   + std::to_string(n) + '\n';

    family(out, "fiscal_rpc_duration_seconds", "histogram",
           "Tempo de cada chamada no servidor, da requisição recebida à resposta entregue.");
    for (const auto &[key, s] : m_series) {
        const std::string l = labels(key);
        std::uint64_t cumulative = 0;
        for (std::size_t i = 0; i < kBuckets.size(); ++i) {
            cumulative += s.buckets[i];
            out += "fiscal_rpc_duration_seconds_bucket{" + l + ",le=\"" + number(kBuckets[i], std::chars_format::fixed) + "\"} "
                   + std::to_string(cumulative) + '\n';
        }
        out += "fiscal_rpc_duration_seconds_bucket{" + l + ",le=\"+Inf\"} " + std::to_string(s.calls) + '\n';
        out += "fiscal_rpc_duration_seconds_sum{" + l + "} " + number(s.seconds) + '\n';
        out += "fiscal_rpc_duration_seconds_count{" + l + "} " + std::to_string(s.calls) + '\n';
    }

    family(out, "fiscal_rpc_request_bytes_total", "counter", "Bytes recebidos nos corpos das requisições.");
    for (const auto &[key, s] : m_series)
        out += "fiscal_rpc_request_bytes_total{" + labels(key) + "} " + std::to_string(s.bytesIn) + '\n';
    family(out, "fiscal_rpc_response_bytes_total", "counter", "Bytes enviados nos corpos das respostas.");
    for (const auto &[key, s] : m_series)
        out += "fiscal_rpc_response_bytes_total{" + labels(key) + "} " + std::to_string(s.bytesOut) + '\n';

    family(out, "fiscal_http_refusals_total", "counter",
           "Requisições recusadas antes do JSON-RPC, por status HTTP (401, 404, 413, 503, ...).");
    for (const auto &[status, n] : m_refusals)
        out += "fiscal_http_refusals_total{status=\"" + std::to_string(status) + "\"} " + std::to_string(n) + '\n';

    for (const auto &[v, x] : values) {
        family(out, v->name.c_str(), v->kind == Kind::Counter ? "counter" : "gauge", v->help);
        out += v->name + ' ' + number(x) + '\n';
    }
    return out;
}

} // namespace fiscal::ops
