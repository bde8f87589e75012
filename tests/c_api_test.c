/* The public header as plain C: every export is called once, so a C host
 * compiles and links against the shared library as it stands. */
#include <stdio.h>
#include <string.h>
#ifndef _WIN32
#include <errno.h>
#endif

#include "dtucentre.h"

static int DTU_CALL on_user(UserInfo *user) { return user != NULL; }
static int DTU_CALL on_data(UserInfo *user, DataRecord *record, int ack) {
  return user != NULL && record != NULL && ack;
}

#ifndef _WIN32
/* The datagram tap keeps the last datagram out it was shown. */
static DtuDatagram last_out;
static void DTU_CALL on_datagram(void *context, const DtuDatagram *datagram) {
  if (datagram->direction == DTU_WIRE_OUT) last_out = *datagram;
  ++*(int *)context;
}
#endif

static int failures;
#define CHECK(cond)                                           \
  do {                                                        \
    if (!(cond)) {                                            \
      fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                             \
    }                                                         \
  } while (0)

int main(void) {
  char buffer[DTU_MAX_BANNER_BYTES];
  char name[128];
  UserInfo user;
  DataRecord record;
  int length = 0, error = 0;
  unsigned char value[32];
  const uint32_t loopback = 0x7F000001u; /* host order */
  uint32_t loopback_net;
#ifndef _WIN32
  DtuNotifier *notifier;
  int tapped = 0;
#endif
  memcpy(&loopback_net, "\x7F\x00\x00\x01", 4);

  CHECK(sizeof(UserInfo) == 68);
  CHECK(offsetof(DataRecord, dataType) == 1058);

  CHECK(SetWorkMode(1) == 1);
  CHECK(get_server_name(name, (int)sizeof name, buffer) == 0);
  CHECK(AddFilterIP(0x0A0B0C0Du) == 0);
  CHECK(FindFilterIP(0x0A0B0C0Du) == 0);
  CHECK(GetFilterIPCount() == 1);
  CHECK(GetIP(0) == 0x0A0B0C0Du);
  CHECK(DelFilterIP(0x0A0B0C0Du) == 0);
  CHECK(SetCustomIP(loopback_net) == loopback_net);
  CHECK(start_gprs_server(NULL, 0, 0, buffer) == 0);
  CHECK(GetCurrentIP() == loopback_net);
  CHECK(dtu_set_receive_buffer(100000) == 100000);
  CHECK(dtu_set_receive_buffer(0) == -1);
  CHECK(do_read_proc(&record, buffer, 1) == -1); /* nothing waiting */
  CHECK(strncmp(buffer, "Error occurred during read,errorcode:", 37) == 0);
#ifndef _WIN32
  CHECK(dtu_last_error() == EAGAIN);
  dtu_set_datagram_tap(on_datagram, &tapped);
#endif

  memset(&user, 0, sizeof user);
  strcpy(user.userId, "12345678901");
  user.peerAddr = loopback;
  user.peerPort = 9;
  CHECK(send_cmd(loopback, 9, &user, DTU_CMD_LOGON_ACK) == 0);
#ifndef _WIN32
  CHECK(tapped == 1 && last_out.code == DTU_CODE_LOGON_ACK && strcmp(last_out.terminalId, "12345678901") == 0);
  dtu_set_datagram_tap(NULL, NULL);
#endif
  CHECK(send_data(loopback, 9, "12345678901", "abc", 3) == 0);
  CHECK(AddOneUser(&user) == 0);
  CHECK(get_user_info("12345678901", &user) == 0 && user.status == 1);
  CHECK(get_user_at(0, &user) == 0);
  CHECK(get_max_user_amount() == 500);
  CHECK(get_online_user_amount() == 1);
  CHECK(do_send_user_data("12345678901", "abc", 3, 0) == 0);
  CHECK(do_close_one_user("12345678901", buffer) == 0);
  CHECK(do_close_one_user2("12345678901", buffer) == -1);
  CHECK(do_close_all_user(buffer) == 0);
  CHECK(do_close_all_user2(NULL) == 0);
  CHECK(DeleteAllUser() == 0);

  SetEvtCALLBACK(on_user, on_user, on_data, on_user, on_user);
  SetLogonCALLBACK(on_user);
  SetLogoutCALLBACK(on_user);
  SetRecvdataCALLBACK(on_data);
  SetRecvDataReplyCALLBACK(on_user);
  SetInvalidcmdCALLBACK(on_user);

  CHECK(ClearParam() == 0);
  CHECK(SetParam(2, "abc", 3, &error) == 1);
  CHECK(DoUpdateParam(loopback, 9, "12345678901") == 1);
  CHECK(DoReadParam(loopback, 9, "12345678901") == 1);
  length = (int)sizeof value;
  CHECK(GetParam(2, value, &length) == 1 && length == 0);

  CHECK(stop_gprs_server(buffer) == 0);

#ifndef _WIN32
  notifier = dtu_notifier_create();
  CHECK(notifier != NULL && dtu_notifier_fd(notifier) >= 0);
  CHECK(dtu_notifier_wait(notifier, 0, NULL) == 0);
  dtu_notifier_destroy(notifier);
  dtu_set_wire_tap(NULL, NULL);
#endif

  printf("%d passed, %d failed\n", failures ? 0 : 1, failures ? 1 : 0);
  return failures != 0;
}
