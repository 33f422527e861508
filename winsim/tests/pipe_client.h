// A pipe client as any local program would be one: a plain SOCK_SEQPACKET socket
// connected to <root>/pipe/NAME.
#pragma once

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "winsim/test.h"

struct PipeClient {
    int fd = -1;

    PipeClient() = default;
    PipeClient(const PipeClient &) = delete;
    PipeClient &operator=(const PipeClient &) = delete;
    ~PipeClient() { close_now(); }

    static std::string path_of(const char *name) { return winsim::root() + "/pipe/" + name; }

    // 0 when connected, else the errno of connect().
    int connect_to(const char *name)
    {
        close_now();
        fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::string path = path_of(name);
        strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        if (connect(fd, (sockaddr *)&addr, sizeof addr) != 0) {
            int e = errno;
            close_now();
            return e;
        }
        return 0;
    }

    bool send_msg(const std::string &msg)
    {
        return send(fd, msg.data(), msg.size(), MSG_NOSIGNAL) == (ssize_t)msg.size();
    }

    // Next message, waiting up to `ms`; false on time-out or end of stream.
    bool recv_msg(std::string &out, int ms = 2000)
    {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0)
            return false;
        ssize_t size = recv(fd, nullptr, 0, MSG_PEEK | MSG_TRUNC);
        if (size < 0)
            return false;
        std::vector<char> buf((size_t)size + 1);
        ssize_t n = recv(fd, buf.data(), buf.size(), 0);
        if (n < 0)
            return false;
        out.assign(buf.data(), (size_t)n);
        return n > 0 || !(p.revents & POLLHUP);
    }

    // Whether the server has ended the connection (within `ms`).
    bool sees_end(int ms = 2000)
    {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0)
            return false;
        char c;
        return recv(fd, &c, 1, MSG_DONTWAIT) == 0;
    }

    void close_now()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
};
