#pragma once
// Tells systemd how the service is doing, for Type=notify units: "READY=1" once it listens
// (so `systemctl start` and `restart` return only then, after the schema migration),
// "STOPPING=1" when it starts to drain. Does nothing outside systemd (no NOTIFY_SOCKET).

#include <string>

namespace fiscal::server {

void notifySystemd(const std::string &state);

} // namespace fiscal::server
