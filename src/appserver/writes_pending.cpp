// Stands in for the write methods until they are built: they stay absent, so a call
// gets "no such method" (-32601) and never a success that saved nothing.
#include "appserver/server.h"

namespace fiscal::appserver {

void registerWriteMethods(rpc::Dispatcher &, ConnectionPool &) {}

} // namespace fiscal::appserver
