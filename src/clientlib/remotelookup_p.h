#pragma once
// The road of the client's lookups (the query class, the local cache). With a database
// configured (Settings::database()) they read it straight; without one, the default,
// they ask the application server's Ger10207.rdmConsultas for the catalogue's statement
// by name (protocol/lookups.h), over the connection settings of every other remote call
// (server address, token, TLS, user), so the desktop needs no database access at all.

#include "dataset/packet.h"

#include <QString>
#include <optional>
#include <vector>

namespace fiscal::clientlib {

bool lookupsThroughServer();

// Runs the catalogue's statement `name` on the server with `values` (in the order of its
// parameters; nullopt is NULL) and returns its packet, decoded while it arrives; the caller
// waits as for any server call (the screen repaints, takes no input). Any failure throws
// dataset::EDatabaseError with `failurePrefix` and the reason.
dataset::DataPacket remoteLookup(const QString &name, const std::vector<std::optional<QString>> &values,
                                 const QString &failurePrefix);

} // namespace fiscal::clientlib
