/* A Windows host built as Visual Studio builds one (MSVC target, linked
 * against dtucentre.lib), without a C runtime: only dtucentre.h, and
 * KERNEL32/WS2_32 declared by hand.  It plays a terminal on 127.0.0.1:
 * logon, user data with acknowledgement, data sent down, close, stop.
 * Exit code 0 when every check passed. */
#include "dtucentre.h"

#define WINAPI __stdcall
#define IMPORT __declspec(dllimport)
typedef uintptr_t SOCKET;
struct in4 {
  uint16_t family;
  uint16_t port; /* network order */
  uint8_t addr[4];
  uint8_t zero[8];
};
IMPORT void *WINAPI GetStdHandle(unsigned long which);
IMPORT int WINAPI WriteFile(void *file, const void *data, unsigned long size, unsigned long *written,
                            void *overlapped);
IMPORT void WINAPI ExitProcess(unsigned int code);
IMPORT int WINAPI WSAStartup(uint16_t version, void *data);
IMPORT SOCKET WINAPI socket(int family, int type, int protocol);
IMPORT int WINAPI bind(SOCKET s, const struct in4 *address, int size);
IMPORT int WINAPI getsockname(SOCKET s, struct in4 *address, int *size);
IMPORT int WINAPI setsockopt(SOCKET s, int level, int name, const char *value, int size);
IMPORT int WINAPI sendto(SOCKET s, const char *data, int size, int flags, const struct in4 *to,
                         int to_size);
IMPORT int WINAPI recv(SOCKET s, char *data, int size, int flags);
IMPORT int WINAPI closesocket(SOCKET s);

/* The compiler may call these for copies and clears. */
void *memset(void *to, int value, size_t size) {
  unsigned char *p = to;
  while (size--) *p++ = (unsigned char)value;
  return to;
}
void *memcpy(void *to, const void *from, size_t size) {
  unsigned char *p = to;
  const unsigned char *q = from;
  while (size--) *p++ = *q++;
  return to;
}

static int same(const void *a, const void *b, int size) {
  const unsigned char *p = a, *q = b;
  for (int i = 0; i < size; ++i)
    if (p[i] != q[i]) return 0;
  return 1;
}
static int length(const char *text) {
  int n = 0;
  while (text[n]) ++n;
  return n;
}
static void say(const char *text) {
  unsigned long written;
  WriteFile(GetStdHandle((unsigned long)-11), text, (unsigned long)length(text), &written, 0);
}

static int failures;
static void check(int ok, const char *what) {
  if (!ok) {
    say("FAILED: ");
    say(what);
    say("\r\n");
    ++failures;
  }
}
#define CHECK(cond) check((cond) != 0, #cond)

static const char kId[] = "13912345678";
static SOCKET terminal;
static struct in4 centre;

static void send_frame(uint8_t code, const char *payload, int size) {
  char frame[64];
  int n = 16;
  frame[0] = 0x7B;
  frame[1] = (char)code;
  frame[2] = 0;
  frame[3] = 16;
  memcpy(frame + 4, kId, 11);
  frame[15] = 0x7B;
  if (code == 0x01) { /* logon: the terminal's own address and port, 22 bytes */
    memcpy(frame + 15, "\x7F\x00\x00\x01\x1F\x90\x7B", 7);
    frame[3] = n = 22;
  }
  memcpy(frame + n, payload, size);
  CHECK(sendto(terminal, frame, n + size, 0, &centre, sizeof centre) == n + size);
}
/* The next frame the terminal receives has `code`, our ID and `payload`. */
static int receive_frame(uint8_t code, const char *payload, int size) {
  char frame[64];
  int n = recv(terminal, frame, sizeof frame, 0);
  return n == 16 + size && (uint8_t)frame[1] == code && same(frame + 4, kId, 11) &&
         same(frame + 16, payload, size);
}

int start(void) {
  char text[DTU_MAX_BANNER_BYTES];
  char wsa[512];
  DataRecord record;
  int size = sizeof centre, timeout_ms = 5000;
  SOCKET probe;

  /* The work mode at load is window-message mode: without a window the
   * start fails before anything else. */
  CHECK(start_gprs_server(0, 0, 0, text) == -1);
  CHECK(same(text, "\r\nSystem could not be initialized!\r\n", 37));
  stop_gprs_server(0);

  CHECK(WSAStartup(0x202, wsa) == 0);
  memset(&centre, 0, sizeof centre);
  centre.family = 2; /* AF_INET */
  memcpy(centre.addr, "\x7F\x00\x00\x01", 4);
  terminal = socket(2, 2, 0); /* UDP */
  CHECK(bind(terminal, &centre, sizeof centre) == 0);
  CHECK(setsockopt(terminal, 0xFFFF, 0x1006, (const char *)&timeout_ms, 4) == 0); /* SO_RCVTIMEO */
  probe = socket(2, 2, 0); /* a free port for the centre */
  CHECK(bind(probe, &centre, sizeof centre) == 0);
  CHECK(getsockname(probe, &centre, &size) == 0);
  closesocket(probe);

  CHECK(SetWorkMode(0) == 0);
  CHECK(SetCustomIP(0x0100007Fu) == 0x0100007Fu); /* 127.0.0.1, network order */
  CHECK(start_gprs_server(0, 0, (centre.port >> 8) | ((centre.port & 0xFF) << 8), text) == 0);
  CHECK(same(text, "*****", 5) && same(text + length(text) - 10, "127.0.0.1)", 10));

  send_frame(0x01, "", 0);
  CHECK(do_read_proc(&record, text, 1) == 0);
  CHECK(record.dataType == DTU_DATA_LOGON && same(record.userId, kId, 12));
  CHECK(receive_frame(0x81, "", 0)); /* LogonAck */

  send_frame(0x09, "ABC", 3);
  CHECK(do_read_proc(&record, text, 1) == 0);
  CHECK(record.dataType == DTU_DATA_USER && record.dataLength == 3 && same(record.data, "ABC", 3));
  CHECK(receive_frame(0x85, "", 0)); /* DataAck */

  CHECK(do_send_user_data(kId, "xyz", 3, 0) == 0);
  CHECK(receive_frame(0x89, "xyz", 3)); /* UserDataDown */
  CHECK(get_online_user_amount() == 1);
  CHECK(do_close_one_user(kId, text) == 0);
  CHECK(same(text, "**[13912345678] \xCD\xCB\xB3\xF6 ", 21) && length(text) == 42);

  CHECK(stop_gprs_server(text) == 0);
  CHECK(same(text, "*****\xCE\xDE\xCF\xDF\xCA\xFD\xBE\xDD\xB7\xFE\xCE\xF1\xD6\xD0\xD0\xC4\xD2\xD1"
                   "\xCD\xA3\xD6\xB9\r\n", 30));
  closesocket(terminal);
  say(failures ? "msvc host: FAILED\r\n" : "msvc host: all checks passed\r\n");
  ExitProcess(failures != 0);
  return 0;
}
