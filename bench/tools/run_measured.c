/* Runs one program to its end and reports what it cost, measured from outside as a user meets it:
 *
 *   run-measured PROGRAM [ARGS...]
 *
 * The program's output passes through; at the end one line goes to standard error:
 * "run-measured: WALL_NS CPU_NS PEAK_RSS_KIB EXIT", where CPU is user plus system time and EXIT the
 * exit code (128 + the signal number for a killed program). Being small itself, this launcher
 * leaves nothing of its own in the child's peak resident size, which a launch from a large
 * interpreter would (the peak is taken over the whole life of the process, the time before exec
 * included). */
#define _GNU_SOURCE
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static long long now_ns(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

static long long tv_ns(struct timeval t) { return (long long)t.tv_sec * 1000000000LL + t.tv_usec * 1000LL; }

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: run-measured PROGRAM [ARGS...]\n");
        return 2;
    }
    const long long start = now_ns();
    const pid_t pid = fork();
    if (pid < 0) {
        perror("run-measured: fork");
        return 1;
    }
    if (pid == 0) {
        execvp(argv[1], argv + 1);
        perror("run-measured: exec");
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    if (wait4(pid, &status, 0, &usage) != pid) {
        perror("run-measured: wait");
        return 1;
    }
    const long long wall = now_ns() - start;
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    fprintf(stderr, "run-measured: %lld %lld %ld %d\n", wall, tv_ns(usage.ru_utime) + tv_ns(usage.ru_stime),
            usage.ru_maxrss, code);
    return 0;
}
