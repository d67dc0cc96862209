/* Preloaded into the client programs of the end-to-end tests (ldapwhoami, smbclient, kinit),
 * which have no switch for their source address: every IPv4 socket they connect is bound to
 * QV_SOURCE_ADDRESS first, so that each logon comes from a loopback address of the test's
 * choosing. Without QV_SOURCE_ADDRESS nothing changes. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>

typedef int (*CONNECT)(int, const struct sockaddr*, socklen_t);

int connect(int fd, const struct sockaddr* address, socklen_t length) {
    static CONNECT next;
    if (next == NULL) next = (CONNECT)dlsym(RTLD_NEXT, "connect");
    const char* source = getenv("QV_SOURCE_ADDRESS");
    if (source != NULL && address != NULL && address->sa_family == AF_INET) {
        struct sockaddr_in local = {0};
        local.sin_family = AF_INET;
        /* A socket bound already (or a bad address) is left as it is: connect() tells. */
        if (inet_pton(AF_INET, source, &local.sin_addr) == 1) (void)bind(fd, (struct sockaddr*)&local, sizeof local);
    }
    return next(fd, address, length);
}
