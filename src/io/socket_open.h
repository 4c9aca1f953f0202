#pragma once
// Socket creation over a looked-up address list, shared by the TCP transport
// and the control protocol.

#include <netdb.h>

namespace tilo2::core {

// Creates a socket for the first address of the list that allows one; an
// address family or protocol the stack lacks moves on to the next address.
// With ipv4Only, other families are passed over. Returns the socket (and the
// address it was made for in *used) or -1; *noIpv4 tells that sockets could
// be made but none for IPv4.
int OpenFirstSocket(const addrinfo* list, const addrinfo** used, bool ipv4Only = false,
                    bool* noIpv4 = nullptr);

// Shuts the socket down in both directions and closes it.
void ShutDownAndClose(int socket);

}  // namespace tilo2::core
