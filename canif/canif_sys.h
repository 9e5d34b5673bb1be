// The kernel calls of the CAN transport, gathered in one table so that tests can put a
// recorder in place of the kernel and check every option value and byte it is given.
#pragma once

#include <sys/select.h>
#include <sys/socket.h>
#include <sys/types.h>

struct CANIF_tstSys {
    int (*socket)(int domain, int type, int protocol);
    int (*setsockopt)(int fd, int level, int name, const void* value, socklen_t length);
    int (*ioctl)(int fd, unsigned long request, void* argument);
    int (*bind)(int fd, const struct sockaddr* address, socklen_t length);
    int (*connect)(int fd, const struct sockaddr* address, socklen_t length);
    ssize_t (*read)(int fd, void* buffer, size_t length);
    ssize_t (*write)(int fd, const void* buffer, size_t length);
    int (*select)(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, struct timeval* timeout);
    int (*close)(int fd);
};

// The table in use: the kernel's calls unless a test replaced them.
const CANIF_tstSys& CANIF_stSys();
// Replaces the kernel calls by `sys` (nullptr: back to the kernel). Tests only.
void CANIF_vSetSys(const CANIF_tstSys* sys);
