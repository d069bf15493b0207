/* Starts each program given RUNS times, in turn, with standard output to
 * /dev/null and standard input inherited, and prints per program the median
 * and the 10th/90th percentile of the wall time from vfork to its end, and
 * the largest peak resident size. vfork: the rusage of a child counts the
 * memory it had before exec too, and a vforked child borrows ours.
 * Usage: spawn RUNS PROGRAM...   (a PROGRAM is started without arguments) */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now_us(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

static int by_value(const void* a, const void* b) {
  double x = *(const double*)a, y = *(const double*)b;
  return (x > y) - (x < y);
}

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  int runs = atoi(argv[1]), count = argc - 2;
  double* times = calloc((size_t)runs * count, sizeof *times);
  long* peak = calloc((size_t)count, sizeof *peak);
  int devnull = open("/dev/null", O_WRONLY);
  for (int run = 0; run < runs; run++) {
    for (int p = 0; p < count; p++) {
      double start = now_us();
      pid_t pid = vfork();
      if (pid == 0) {
        dup2(devnull, 1);
        char* child[] = {argv[2 + p], NULL};
        execv(child[0], child);
        _exit(127);
      }
      int status;
      struct rusage usage;
      if (wait4(pid, &status, 0, &usage) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) == 127) {
        fprintf(stderr, "spawn: %s failed\n", argv[2 + p]);
        return 1;
      }
      times[p * runs + run] = now_us() - start;
      if (usage.ru_maxrss > peak[p]) peak[p] = usage.ru_maxrss;
    }
  }
  for (int p = 0; p < count; p++) {
    double* t = times + p * runs;
    qsort(t, runs, sizeof *t, by_value);
    printf("%s %.0f %.0f %.0f %ld\n", argv[2 + p], t[runs / 2], t[runs / 10], t[runs * 9 / 10],
           peak[p]);
  }
  return 0;
}
