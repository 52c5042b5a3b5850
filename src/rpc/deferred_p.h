#pragma once
// The serving thread's side of deferred replies and socket watches.

namespace boost::asio {
class io_context;
}

namespace fiscal::rpc::detail {

// The io_context of the serving loop running on this thread (nullptr elsewhere); set by the
// loop for its whole life.
void setServingLoop(boost::asio::io_context *loop);

// The connection of the call running on this thread (-1 outside one), and whether the peer
// of a connection has closed or reset it (see rpc::callerHasLeft).
int callerSocket();
int setCallerSocket(int socket);   // returns the one it replaces
bool peerHasLeft(int socket);

} // namespace fiscal::rpc::detail
