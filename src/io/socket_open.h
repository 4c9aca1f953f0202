#pragma once
// Socket creation over a looked-up address list, shared by the TCP transport
// and the control protocol.

#include <netdb.h>

#include <memory>

// Creates a socket for the first address of the list that allows one; an
// address family or protocol the stack lacks moves on to the next address.
// With ipv4Only, other families are passed over. Returns the socket (and the
// address it was made for in *used) or -1; *noIpv4 tells that sockets could
// be made but none for IPv4.
int openFirstSocket(const addrinfo* list, const addrinfo** used, bool ipv4Only = false,
                    bool* noIpv4 = nullptr);

// Owns a lookup result.
using AddressList = std::unique_ptr<addrinfo, decltype(&freeaddrinfo)>;

// Looks host up with any family; null when the lookup fails or finds nothing.
AddressList lookUpAddresses(const char* host, const char* service, int flags, int socketType);

// Shuts the socket down in both directions and closes it.
void shutdownAndClose(int socket);

// Waits up to ms (a negative wait is taken as 0) for one readiness condition;
// an interrupted wait is resumed. 1 ready, 0 not within the wait, -1 error.
int waitForSocket(int fd, short events, int ms);
