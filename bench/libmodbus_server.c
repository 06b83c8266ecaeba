/* A Modbus TCP server as a C programmer would write it with libmodbus: one thread, a select()
 * loop over the listener and every master, modbus_receive + modbus_reply on a register mapping.
 *
 *   libmodbus_server PORT [REGISTERS]
 * Listens on 127.0.0.1:PORT, prints "ready" and serves until its standard input closes. */
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <modbus.h>

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: libmodbus_server PORT [REGISTERS]\n");
        return 2;
    }
    const int port = atoi(argv[1]);
    const int registers = argc > 2 ? atoi(argv[2]) : 1000;

    modbus_t *ctx = modbus_new_tcp("127.0.0.1", port);
    modbus_mapping_t *mapping = modbus_mapping_new(0, 0, registers, 0);
    if (ctx == NULL || mapping == NULL) {
        fprintf(stderr, "libmodbus_server: %s\n", modbus_strerror(errno));
        return 1;
    }
    const int listener = modbus_tcp_listen(ctx, 1024);
    if (listener < 0) {
        fprintf(stderr, "libmodbus_server: listen: %s\n", modbus_strerror(errno));
        return 1;
    }

    fd_set watched;
    FD_ZERO(&watched);
    FD_SET(listener, &watched);
    FD_SET(0, &watched); /* standard input: its end is the signal to stop */
    int fd_max = listener;
    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    printf("ready\n");
    fflush(stdout);

    for (;;) {
        fd_set ready = watched;
        if (select(fd_max + 1, &ready, NULL, NULL, NULL) < 0) {
            if (errno == EINTR)
                continue;
            perror("libmodbus_server: select");
            return 1;
        }
        for (int fd = 0; fd <= fd_max; ++fd) {
            if (!FD_ISSET(fd, &ready))
                continue;
            if (fd == 0) {
                char b[256];
                if (read(0, b, sizeof b) <= 0) {
                    modbus_mapping_free(mapping);
                    modbus_free(ctx);
                    return 0;
                }
            } else if (fd == listener) {
                int s = listener;
                const int client = modbus_tcp_accept(ctx, &s);
                if (client < 0)
                    continue;
                if (client >= FD_SETSIZE) { /* select() cannot watch it */
                    close(client);
                    continue;
                }
                const int one = 1;
                setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                FD_SET(client, &watched);
                if (client > fd_max)
                    fd_max = client;
            } else {
                modbus_set_socket(ctx, fd);
                const int rc = modbus_receive(ctx, query);
                if (rc > 0) {
                    modbus_reply(ctx, query, rc, mapping);
                } else if (rc < 0) {
                    close(fd);
                    FD_CLR(fd, &watched);
                    while (fd_max > listener && !FD_ISSET(fd_max, &watched))
                        --fd_max;
                }
            }
        }
    }
}
