/* A small Windows host of dtucentre.
 *
 * Starts the centre in window-message mode on a message-only window, prints
 * what the terminals send, echoes every block of user data back to the
 * terminal it came from, and stops cleanly on Ctrl+C.
 *
 *   dtucentre_example [port [address]]
 *
 * port defaults to 5002; address is the local address to serve on, 127.0.0.1
 * unless given (0.0.0.0 serves on every local address).  Texts from the
 * library are GBK, so the console is switched to code page 936.
 */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "dtucentre.h"

#define WM_DTU_READY (WM_USER + 1)

static DWORD main_thread;

static void read_one(void) {
  DataRecord record;
  char text[256] = "";
  if (do_read_proc(&record, text, 1) != 0) {
    printf("%s", text); /* a receive error or a rejected frame, when it says so */
    return;
  }
  switch (record.dataType) {
  case DTU_DATA_LOGON:
    printf("logon   %s (%d on line)\n", record.userId, get_online_user_amount());
    break;
  case DTU_DATA_LOGOUT:
    printf("logout  %s\n", record.userId);
    break;
  case DTU_DATA_USER:
    printf("data    %s: %u bytes\n", record.userId, (unsigned)record.dataLength);
    do_send_user_data(record.userId, (const char *)record.data, record.dataLength, 0);
    break;
  case DTU_DATA_NONE: /* a datagram too short to be a frame: dropped */
    break;
  case DTU_DATA_NOT_ONLINE:
    printf("refused %s: not logged on\n", record.userId);
    break;
  default:
    printf("frame   %s: type %u\n", record.userId, (unsigned)record.dataType);
    break;
  }
}

static LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_DTU_READY) {
    read_one(); /* once per message */
    return 0;
  }
  return DefWindowProcA(window, message, wparam, lparam);
}

static BOOL WINAPI on_console_event(DWORD event) {
  (void)event;
  PostThreadMessageA(main_thread, WM_QUIT, 0, 0);
  return TRUE;
}

int main(int argc, char **argv) {
  char text[DTU_MAX_BANNER_BYTES];
  unsigned a = 127, b = 0, c = 0, d = 1;
  unsigned char address[4];
  uint32_t bind_address;
  int port = argc > 1 ? atoi(argv[1]) : 5002;
  WNDCLASSA window_class;
  HWND window;
  MSG message;

  if (argc > 2 && sscanf(argv[2], "%u.%u.%u.%u", &a, &b, &c, &d) != 4) {
    fprintf(stderr, "usage: %s [port [address]]\n", argv[0]);
    return 2;
  }
  address[0] = (unsigned char)a; /* network order: first octet first */
  address[1] = (unsigned char)b;
  address[2] = (unsigned char)c;
  address[3] = (unsigned char)d;
  memcpy(&bind_address, address, 4);

  memset(&window_class, 0, sizeof window_class);
  window_class.lpfnWndProc = window_proc;
  window_class.hInstance = GetModuleHandleA(NULL);
  window_class.lpszClassName = "dtucentre_example";
  RegisterClassA(&window_class);
  window = CreateWindowExA(0, window_class.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL,
                           window_class.hInstance, NULL);
  main_thread = GetCurrentThreadId();
  SetConsoleCtrlHandler(on_console_event, TRUE);
  SetConsoleOutputCP(936);

  /* Window-message mode is already the mode at load; saying so keeps the
   * host right whatever ran before. */
  SetWorkMode(2);
  SetCustomIP(bind_address);
  if (start_gprs_server(window, WM_DTU_READY, port, text) != 0) {
    printf("start failed: %s\n", text);
    stop_gprs_server(NULL); /* every start, failed or not, is followed by a stop */
    return 1;
  }
  printf("%s\nCtrl+C stops.\n", text);

  while (GetMessageA(&message, NULL, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }

  do_close_all_user2(NULL);
  stop_gprs_server(text);
  printf("%s", text);
  DestroyWindow(window);
  return 0;
}
