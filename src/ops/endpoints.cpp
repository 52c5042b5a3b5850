#include "ops/endpoints.h"

namespace fiscal::ops {

rpc::GetAnswerer endpoints(const Health &health, const Metrics &metrics)
{
    return [&health, &metrics](std::string_view target) -> std::optional<rpc::PlainAnswer> {
        const std::string_view path = target.substr(0, target.find('?'));
        if (path == "/health")
            return health.answer();
        if (path == "/metrics")
            return rpc::PlainAnswer{200, "text/plain; version=0.0.4; charset=utf-8", metrics.text()};
        return std::nullopt;
    };
}

} // namespace fiscal::ops
