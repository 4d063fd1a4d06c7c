/* Times two commands side by side: each round runs both, taking turns at going first, so that
   whatever the machine is doing weighs on both alike. Prints the median wall time of each, in
   milliseconds, and the median of the rounds' ratios (the first against the second).
     paired RUNS [-p PREPARE_A] [-q PREPARE_B] -- COMMAND_A ... -- COMMAND_B ...
   A PREPARE command runs (through sh -c, untimed) before each timed run of its command. */
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

static double now_ms(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

static int run(char** argv) {
  posix_spawn_file_actions_t quiet;
  posix_spawn_file_actions_init(&quiet);
  posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  if (posix_spawnp(&pid, argv[0], &quiet, NULL, argv, environ) != 0) return -1;
  int status;
  waitpid(pid, &status, 0);
  posix_spawn_file_actions_destroy(&quiet);
  return status;
}

static void prepare(const char* command) {
  if (command == NULL) return;
  char* sh[] = {"sh", "-c", (char*)command, NULL};
  run(sh);
}

static double timed(char** argv, const char* prep) {
  prepare(prep);
  const double start = now_ms();
  run(argv);
  return now_ms() - start;
}

static int by_value(const void* a, const void* b) {
  const double x = *(const double*)a, y = *(const double*)b;
  return (x > y) - (x < y);
}

static double median(double* v, int n) {
  qsort(v, n, sizeof *v, by_value);
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

int main(int argc, char** argv) {
  if (argc < 5) return 2;
  const int runs = atoi(argv[1]);
  const char* prep_a = NULL;
  const char* prep_b = NULL;
  int i = 2;
  for (; i < argc && strcmp(argv[i], "--") != 0; i += 2) {
    if (i + 1 >= argc) return 2;
    if (strcmp(argv[i], "-p") == 0) prep_a = argv[i + 1];
    if (strcmp(argv[i], "-q") == 0) prep_b = argv[i + 1];
  }
  char** a = &argv[i + 1];
  int j = i + 1;
  while (j < argc && strcmp(argv[j], "--") != 0) ++j;
  if (j >= argc) return 2;
  argv[j] = NULL;
  char** b = &argv[j + 1];
  double* ta = malloc(sizeof(double) * runs);
  double* tb = malloc(sizeof(double) * runs);
  double* ratio = malloc(sizeof(double) * runs);
  for (int w = 0; w < 10; ++w) {
    timed(a, prep_a);
    timed(b, prep_b);
  }
  for (int r = 0; r < runs; ++r) {
    if (r % 2) {
      ta[r] = timed(a, prep_a);
      tb[r] = timed(b, prep_b);
    } else {
      tb[r] = timed(b, prep_b);
      ta[r] = timed(a, prep_a);
    }
    ratio[r] = ta[r] / tb[r];
  }
  const double ra = median(ratio, runs);
  printf("%.3f %.3f %.2f\n", median(ta, runs), median(tb, runs), ra);
  return 0;
}
