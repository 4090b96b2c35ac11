// The card side of the vpcd protocol over one TCP connection.
#include "sim/VpcdBridge.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

enum : unsigned char {
    VPCD_POWER_OFF = 0,
    VPCD_POWER_ON = 1,
    VPCD_RESET = 2,
    VPCD_GET_ATR = 4,
};

const int POLL_MS = 200;

bool Stopped(const volatile std::sig_atomic_t* stop) {
    return stop != nullptr && *stop != 0;
}

// Waits until fd is ready for the events (POLLIN, POLLOUT) or stop is set;
// true when it is ready.
bool WaitFor(int fd, short events, const volatile std::sig_atomic_t* stop) {
    while (!Stopped(stop)) {
        pollfd p{fd, events, 0};
        int n = poll(&p, 1, POLL_MS);
        if (n > 0) {
            return true;
        }
        if (n < 0 && errno != EINTR) {
            return false;
        }
    }
    return false;
}

bool WaitReadable(int fd, const volatile std::sig_atomic_t* stop) {
    return WaitFor(fd, POLLIN, stop);
}

bool WaitWritable(int fd, const volatile std::sig_atomic_t* stop) {
    return WaitFor(fd, POLLOUT, stop);
}

// Reads exactly length bytes; false on end of stream, error or stop.
bool ReadFull(int fd, unsigned char* out, size_t length, const volatile std::sig_atomic_t* stop) {
    size_t done = 0;
    while (done < length) {
        if (!WaitReadable(fd, stop)) {
            return false;
        }
        // vpcd writes the length and the payload separately with Nagle on;
        // Linux drops quick acknowledgement after each receive, and without
        // it every exchange waits for the delayed ACK (about 40 ms).
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
        ssize_t n = recv(fd, out + done, length - done, 0);
        if (n == 0) {
            return false;
        }
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Writes all bytes; false on error or stop. The socket does not block: a
// vpcd that reads nothing cannot hold the bridge past a stop.
bool WriteFull(int fd, const unsigned char* data, size_t length,
               const volatile std::sig_atomic_t* stop) {
    size_t done = 0;
    while (done < length) {
        if (Stopped(stop)) {
            return false;
        }
        ssize_t n = send(fd, data + done, length - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                if (!WaitWritable(fd, stop)) {
                    return false;
                }
                continue;
            }
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// One message: the length and the payload in a single write.
bool SendMessage(int fd, const std::vector<unsigned char>& payload,
                 const volatile std::sig_atomic_t* stop) {
    if (payload.size() > 0xFFFF) {
        return false;
    }
    std::vector<unsigned char> frame(2 + payload.size());
    frame[0] = static_cast<unsigned char>(payload.size() >> 8);
    frame[1] = static_cast<unsigned char>(payload.size());
    std::copy(payload.begin(), payload.end(), frame.begin() + 2);
    return WriteFull(fd, frame.data(), frame.size(), stop);
}

// Connects without blocking past a stop; the socket stays non-blocking.
int Connect(const sockaddr_in& address, const volatile std::sig_atomic_t* stop) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return -1;
    }
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        int error = 0;
        socklen_t size = sizeof error;
        if (errno != EINPROGRESS || !WaitWritable(fd, stop) ||
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
            close(fd);
            return -1;
        }
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// Answers vpcd until the connection ends or stop is set.
void Serve(int fd, CZUSimDevice& device, const volatile std::sig_atomic_t* stop) {
    std::vector<unsigned char> atr;
    bool powered = false;
    std::vector<unsigned char> payload;
    for (;;) {
        unsigned char header[2];
        if (!ReadFull(fd, header, sizeof header, stop)) {
            return;
        }
        size_t length = (static_cast<size_t>(header[0]) << 8) | header[1];
        payload.resize(length);
        if (length > 0 && !ReadFull(fd, payload.data(), length, stop)) {
            return;
        }
        if (length == 1) {
            switch (payload[0]) {
            case VPCD_POWER_OFF:
                device.PowerOff();
                powered = false;
                break;
            case VPCD_POWER_ON:
            case VPCD_RESET:
                atr = device.PowerOn();
                powered = true;
                break;
            case VPCD_GET_ATR:
                if (!powered) {
                    atr = device.PowerOn();
                    powered = true;
                }
                if (!SendMessage(fd, atr, stop)) {
                    return;
                }
                break;
            default:
                break; // unknown control codes are not answered
            }
            continue;
        }
        if (length == 0) {
            continue;
        }
        if (!powered) {
            atr = device.PowerOn();
            powered = true;
        }
        if (!SendMessage(fd, device.Process(payload.data(), payload.size()), stop)) {
            return;
        }
    }
}

void Pause(const volatile std::sig_atomic_t* stop) {
    for (int waited = 0; waited < POLL_MS && !Stopped(stop); waited += 20) {
        usleep(20 * 1000);
    }
}

} // namespace

int ZUServeVpcd(CZUSimDevice& device, const char* host, int port,
                const volatile std::sig_atomic_t* stop) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    if (host == nullptr || port <= 0 || port > 65535 ||
        inet_pton(AF_INET, host, &address.sin_addr) != 1) {
        return -1;
    }
    address.sin_port = htons(static_cast<uint16_t>(port));
    while (!Stopped(stop)) {
        int fd = Connect(address, stop);
        if (fd < 0) {
            Pause(stop);
            continue;
        }
        Serve(fd, device, stop);
        device.PowerOff();
        close(fd);
        if (!Stopped(stop)) {
            Pause(stop);
        }
    }
    return 0;
}
