/* A replay server for the refresh benchmark: answers the refresh's three requests with answers
 * captured from a real server (scripts/capture-refresh.sh), byte for byte.
 *
 *   refresh-replay CAPTURES      listens on 127.0.0.1, port chosen by the system, and prints it
 *
 * A request for PATH ending in "/jobsN" is answered from CAPTURES/jobs-N/: a GET with probe.http, a
 * POST of operation 0x000A (Get-Jobs) with get-jobs.http, any other POST with get-printer.http. A
 * PATH that starts with "/bigprobe/" gets, for the GET, a 200 MiB HTML page instead of the captured
 * one. Each answer is sent whole, then the connection is closed, as the captured server did.
 * Connections are served one after the other; a peer silent for 10 s is dropped. Runs until it
 * is killed. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

enum { kMaxRequest = 1 << 16, kBigProbeMiB = 200, kBlock = 1 << 20 };

static const char* captures;

static int send_all(int fd, const char* data, size_t size)
{
    while (size > 0) {
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        data += n;
        size -= (size_t)n;
    }
    return 0;
}

static int send_file(int fd, const char* path)
{
    FILE* f = fopen(path, "rb");
    if (f == NULL) {
        fprintf(stderr, "refresh-replay: cannot read %s\n", path);
        return -1;
    }
    static char block[kBlock];
    size_t n;
    int rc = 0;
    while (rc == 0 && (n = fread(block, 1, sizeof block, f)) > 0)
        rc = send_all(fd, block, n);
    fclose(f);
    return rc;
}

static int send_big_probe(int fd)
{
    static char block[kBlock];
    const char line[] = "<p>Printer queue overview, nothing to report on this line.</p>\n";
    for (size_t i = 0; i < sizeof block; ++i)
        block[i] = line[i % (sizeof line - 1)];
    char header[256];
    int len = snprintf(header, sizeof header,
                       "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: %lld\r\n\r\n",
                       (long long)kBigProbeMiB * kBlock);
    if (send_all(fd, header, (size_t)len) != 0)
        return -1;
    for (int i = 0; i < kBigProbeMiB; ++i) {
        if (send_all(fd, block, sizeof block) != 0)
            return -1;
    }
    return 0;
}

/* Reads the request header and its Content-Length body into buf; returns the total, or -1. */
static long read_request(int fd, char* buf, size_t cap, size_t* headerEnd)
{
    size_t have = 0;
    long want = -1;
    while (want < 0 || (long)have < want) {
        if (have == cap)
            return -1;
        ssize_t n = recv(fd, buf + have, cap - have, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        have += (size_t)n;
        if (want < 0) {
            buf[have < cap ? have : cap - 1] = '\0';
            char* end = strstr(buf, "\r\n\r\n");
            if (end == NULL)
                continue;
            *headerEnd = (size_t)(end - buf) + 4;
            const char* cl = strcasestr(buf, "\r\nContent-Length:");
            want = (long)*headerEnd + (cl != NULL && cl < end ? atol(cl + 17) : 0);
        }
    }
    return (long)have;
}

static void serve(int fd)
{
    static char buf[kMaxRequest + 1];
    size_t headerEnd = 0;
    const long size = read_request(fd, buf, kMaxRequest, &headerEnd);
    if (size < 0)
        return;
    char method[8], path[1024];
    if (sscanf(buf, "%7s %1023s", method, path) != 2)
        return;
    const char* jobs = strstr(path, "/jobs");
    if (jobs == NULL)
        return;
    char file[4096];
    const char* name;
    if (strcmp(method, "GET") == 0) {
        if (strncmp(path, "/bigprobe/", 10) == 0) {
            send_big_probe(fd);
            return;
        }
        name = "probe.http";
    } else {
        const int op = size >= (long)headerEnd + 4
                           ? ((unsigned char)buf[headerEnd + 2] << 8) | (unsigned char)buf[headerEnd + 3]
                           : -1;
        name = op == 0x000A ? "get-jobs.http" : "get-printer.http";
    }
    snprintf(file, sizeof file, "%s/jobs-%s/%s", captures, jobs + 5, name);
    send_file(fd, file);
}

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: refresh-replay CAPTURES\n");
        return 2;
    }
    captures = argv[1];
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr = {.sin_family = AF_INET, .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
    socklen_t len = sizeof addr;
    if (listener < 0 || bind(listener, (struct sockaddr*)&addr, sizeof addr) != 0 || listen(listener, 16) != 0 ||
        getsockname(listener, (struct sockaddr*)&addr, &len) != 0) {
        perror("refresh-replay");
        return 1;
    }
    printf("%d\n", ntohs(addr.sin_port));
    fflush(stdout);
    for (;;) {
        int fd = accept(listener, NULL, NULL);
        if (fd < 0) {
            if (errno == EINTR)
                continue;
            perror("refresh-replay: accept");
            return 1;
        }
        struct timeval limit = {.tv_sec = 10};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        serve(fd);
        shutdown(fd, SHUT_WR);
        close(fd);
    }
}
