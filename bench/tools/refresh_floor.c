/* The floor of the refresh benchmark: the least a client can do for one refresh. It sends the
 * same three requests as quenlo-cli refresh (a GET of the printer URL, then the Get-Jobs and the
 * Get-Printer-Attributes bodies as POSTs), each on a fresh connection, and reads every answer until
 * the server closes, without parsing or keeping it.
 *
 *   refresh-floor PORT PATH GET_JOBS_BODY GET_PRINTER_BODY
 *
 * The bodies are files holding the request bodies (quenlo-cli request writes them). Exits 0 when
 * all three answers arrived, 1 otherwise. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static char* read_file(const char* path, size_t* size)
{
    FILE* f = fopen(path, "rb");
    if (f == NULL)
        return NULL;
    static char body[1 << 16];
    *size = fread(body, 1, sizeof body, f);
    fclose(f);
    char* copy = malloc(*size + 1);
    if (copy != NULL)
        memcpy(copy, body, *size);
    return copy;
}

static long exchange(int port, const char* head, const char* body, size_t bodySize)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr = {.sin_family = AF_INET, .sin_port = htons((unsigned short)port),
                               .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
    if (fd < 0 || connect(fd, (struct sockaddr*)&addr, sizeof addr) != 0)
        return -1;
    if (send(fd, head, strlen(head), 0) < 0 || (bodySize > 0 && send(fd, body, bodySize, 0) < 0)) {
        close(fd);
        return -1;
    }
    static char block[1 << 16];
    long total = 0;
    ssize_t n;
    while ((n = recv(fd, block, sizeof block, 0)) > 0)
        total += n;
    close(fd);
    return n == 0 ? total : -1;
}

static long post(int port, const char* path, const char* file)
{
    size_t size = 0;
    char* body = read_file(file, &size);
    if (body == NULL)
        return -1;
    char head[2048];
    snprintf(head, sizeof head,
             "POST %s HTTP/1.0\r\nAccept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
             "Content-Type: application/ipp\r\nUser-Agent: Internet Print Provider\r\nHost: 127.0.0.1:%d\r\n"
             "Content-Length: %zu\r\n\r\n",
             path, port, size);
    long total = exchange(port, head, body, size);
    free(body);
    return total;
}

int main(int argc, char** argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: refresh-floor PORT PATH GET_JOBS_BODY GET_PRINTER_BODY\n");
        return 2;
    }
    const int port = atoi(argv[1]);
    const char* path = argv[2];
    char head[2048];
    snprintf(head, sizeof head,
             "GET %s HTTP/1.0\r\nAccept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
             "User-Agent: Internet Print Provider\r\nHost: 127.0.0.1:%d\r\n\r\n",
             path, port);
    if (exchange(port, head, NULL, 0) < 0 || post(port, path, argv[3]) < 0 || post(port, path, argv[4]) < 0) {
        fprintf(stderr, "refresh-floor: an exchange failed\n");
        return 1;
    }
    return 0;
}
