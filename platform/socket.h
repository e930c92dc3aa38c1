// Sockets as the HTTP engine opens and closes them itself (so that it can
// trace each step): one descriptor per connection, owned by the engine
// between OpenSocket and CloseSocket.
#pragma once

#include <string>

namespace zel::net {

// A new socket of the given family, type and protocol (the values libcurl
// hands over), closed on exec so that no started program inherits a
// connection.  Returns the descriptor (the caller owns it and closes it with
// CloseSocket), or -1 with errno set.
[[nodiscard]] int OpenSocket(int family, int type, int protocol);

// Closes a socket from OpenSocket.  Returns 0, or -1 with errno set (the
// descriptor is gone either way).
int CloseSocket(int socket);

// The numeric address held by address (a socket address of the given
// family) as text ("127.0.0.1", "::1"); empty for a family other than IPv4
// and IPv6.  Never fails otherwise.
[[nodiscard]] std::string AddressText(int family, const void* address);

}  // namespace zel::net
