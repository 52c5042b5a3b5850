#pragma once
// Hooks the interaction service into the visual layer: errors escaping an event handler
// and the components' own Yes/No questions go through the current service.

namespace fiscal::clientlib::detail {

// Idempotent; called whenever the service is looked up or replaced.
void ensureErrorReporter();

} // namespace fiscal::clientlib::detail
