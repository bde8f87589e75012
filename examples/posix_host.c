/* A small POSIX host of dtucentre.
 *
 * Starts the centre in window-message mode with a DtuNotifier in place of a
 * window, watches the notifier's descriptor with poll() beside a pipe that
 * the signal handler writes to, prints what the terminals send, echoes every
 * block of user data back to the terminal it came from, and stops cleanly on
 * SIGINT or SIGTERM.
 *
 *   posix_host [port [address]]
 *
 * port defaults to 5002 (0 picks a free one); address is the local address
 * to serve on, 127.0.0.1 unless given (0.0.0.0 serves on every local
 * address).  Build it against an installed library with
 *
 *   cc posix_host.c $(pkg-config --cflags --libs dtucentre) -o posix_host
 *
 * Texts from the library (the start banner, the stop line) are GBK; this
 * host prints them as they come.
 */
#define _POSIX_C_SOURCE 200809L
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "dtucentre.h"

/* Any number: the notifier hands it back with each report. */
#define DTU_READY_MESSAGE 0x0401u

static int stop_pipe[2] = {-1, -1};

static void on_signal(int sig) {
  const int saved = errno;
  const char byte = (char)sig;
  if (write(stop_pipe[1], &byte, 1) < 0) { /* the pipe is full: a stop is already pending */ }
  errno = saved;
}

/* A terminal's ID comes off the wire: bytes that are not printable ASCII
 * are shown as \xNN, never sent to the screen as they are. */
static void print_id(const char *id) {
  for (const unsigned char *p = (const unsigned char *)id; *p != '\0'; ++p) {
    if (*p >= 0x20 && *p < 0x7f && *p != '\\') putchar(*p);
    else printf("\\x%02x", *p);
  }
}

/* One datagram: exactly one do_read_proc for each report of the notifier. */
static void read_one(void) {
  DataRecord record;
  char text[DTU_MAX_RECEIVE_TEXT_BYTES] = "";
  if (do_read_proc(&record, text, 1) != 0) return; /* a read error or a rejected frame */
  switch (record.dataType) {
  case DTU_DATA_LOGON:
    printf("logon   ");
    print_id(record.userId);
    printf(" (%d on line)\n", get_online_user_amount());
    break;
  case DTU_DATA_LOGOUT:
    printf("logout  ");
    print_id(record.userId);
    printf("\n");
    break;
  case DTU_DATA_USER:
    printf("data    ");
    print_id(record.userId);
    printf(": %u bytes\n", (unsigned)record.dataLength);
    do_send_user_data(record.userId, (const char *)record.data, record.dataLength, 0);
    break;
  case DTU_DATA_NONE:
    break;
  case DTU_DATA_NOT_ONLINE:
    printf("refused ");
    print_id(record.userId);
    printf(": not logged on\n");
    break;
  default:
    printf("frame   ");
    print_id(record.userId);
    printf(": type %u\n", (unsigned)record.dataType);
    break;
  }
}

int main(int argc, char **argv) {
  char text[DTU_MAX_BANNER_BYTES];
  unsigned a = 127, b = 0, c = 0, d = 1;
  unsigned char address[4];
  uint32_t bind_address;
  const int port = argc > 1 ? atoi(argv[1]) : 5002;
  struct sigaction action;
  DtuNotifier *notifier;
  int running = 1;

  if (argc > 3 || (argc > 2 && sscanf(argv[2], "%u.%u.%u.%u", &a, &b, &c, &d) != 4) || port < 0 ||
      port > 65535) {
    fprintf(stderr, "usage: %s [port [address]]\n", argv[0]);
    return 2;
  }
  setvbuf(stdout, NULL, _IOLBF, 0);
  address[0] = (unsigned char)a; /* network order: first octet first */
  address[1] = (unsigned char)b;
  address[2] = (unsigned char)c;
  address[3] = (unsigned char)d;
  memcpy(&bind_address, address, 4);

  /* The signal handler only writes a byte; the loop below does the stop. */
  if (pipe(stop_pipe) != 0) return perror("pipe"), 1;
  fcntl(stop_pipe[1], F_SETFL, O_NONBLOCK);
  memset(&action, 0, sizeof action);
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, NULL);
  sigaction(SIGTERM, &action, NULL);

  notifier = dtu_notifier_create();
  if (notifier == NULL) {
    fprintf(stderr, "no notifier: %s\n", strerror(errno));
    return 1;
  }
  SetWorkMode(2); /* window-message mode, the notifier as the window */
  SetCustomIP(bind_address);
  if (start_gprs_server(notifier, DTU_READY_MESSAGE, port, text) != 0) {
    printf("start failed: %s\n", text);
    stop_gprs_server(NULL); /* every start, failed or not, is followed by a stop */
    dtu_notifier_destroy(notifier);
    return 1;
  }
  printf("%s\nSIGINT or SIGTERM stops.\n", text);

  while (running) {
    struct pollfd fds[2] = {{dtu_notifier_fd(notifier), POLLIN, 0}, {stop_pipe[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      perror("poll");
      break;
    }
    if (fds[1].revents != 0) running = 0;
    if (fds[0].revents != 0) {
      /* The report is level-triggered: take every message that waits now,
       * each with one do_read_proc, and go back to poll when none is left. */
      unsigned int message;
      while (dtu_notifier_wait(notifier, 0, &message) == 1)
        if (message == DTU_READY_MESSAGE) read_one();
    }
  }

  do_close_all_user2(NULL);
  stop_gprs_server(text);
  printf("%s\n", text);
  dtu_notifier_destroy(notifier);
  return 0;
}
