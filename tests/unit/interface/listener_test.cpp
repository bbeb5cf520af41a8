// The listening socket, the Listener thread and the client's one-shot call.
#include <stdlib.h>

#include "interface_test_support.h"

using namespace vtrtest;

namespace {

class ListenerTest : public InterfaceTest {};

TEST_F(ListenerTest, ServesCallsAndEndsOnShutdown) {
  char dirTemplate[] = "/tmp/vethra-uds-XXXXXX";
  ASSERT_NE(mkdtemp(dirTemplate), nullptr);
  const std::string dir = dirTemplate, path = dir + "/vethra.uds";
  EXPECT_EQ(vtrc_error_text(vtrc_connect(path.c_str()), path.c_str()),
            "vethra is not running (no socket at " + path + ")");
  // A stale file at the path does not block the bind.
  fclose(fopen(path.c_str(), "w"));
  int listenFd = -1;
  ASSERT_EQ(VTR_InitUDSAt(path.c_str(), &listenFd), VTR_OK);
  std::thread listener([&] { VTR_UDSListener(&listenFd); });

  uint32_t code = 99;
  std::string body;
  ASSERT_EQ(vtrc_call(path.c_str(), VTRC_CMD_STATUS, "", &code, &body), 0);
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(body, kIdleStatus);
  // An unknown code gets no reply: the client reports a time-out.
  EXPECT_EQ(vtrc_call(path.c_str(), 16, "", &code, &body, 200), -ETIMEDOUT);

  // The detached handlers end on the clients' close (before the next test
  // resets the configuration they read).
  for (int i = 0;
       i < 2000 &&
       CountLogged("Interface: Message Handler thread initialized.") !=
           CountLogged("Interface: The remote connection is closed.MessageHandler thread exiting.");
       i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  // The shutdown's way of ending the Listener: the flag, then the socket
  // shut down so that accept() returns.
  exitRequested.store(true);
  shutdown(listenFd, SHUT_RDWR);
  listener.join();
  close(listenFd);
  unlink(path.c_str());
  rmdir(dir.c_str());
}

}  // namespace
