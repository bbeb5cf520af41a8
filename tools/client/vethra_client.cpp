// STUB: replaced by the client library implementation.
#include "vethra_client.h"
#include <errno.h>
int vtrc_connect(const char *) { return -ENOSYS; }
int vtrc_send_request(int, uint32_t, const void *, uint32_t) { return -ENOSYS; }
int vtrc_recv_reply(int, uint32_t *, std::string *, int) { return -ENOSYS; }
int vtrc_call(const char *, uint32_t, const std::string &, uint32_t *, std::string *, int) { return -ENOSYS; }
std::string vtrc_error_text(int, const char *) { return "not implemented"; }
