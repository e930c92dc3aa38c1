// POSIX side of socket.h.
#include "platform/socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zel::net {

int OpenSocket(int family, int type, int protocol) {
    return ::socket(family, type | SOCK_CLOEXEC, protocol);
}

int CloseSocket(int socket) {
    // No retry on EINTR: the descriptor is released whatever close says.
    return ::close(socket);
}

std::string AddressText(int family, const void* address) {
    char host[NI_MAXHOST] = "";
    if (family == AF_INET) {
        ::inet_ntop(family, &static_cast<const sockaddr_in*>(address)->sin_addr, host, sizeof host);
    } else if (family == AF_INET6) {
        ::inet_ntop(family, &static_cast<const sockaddr_in6*>(address)->sin6_addr, host,
                    sizeof host);
    }
    return host;
}

}  // namespace zel::net
