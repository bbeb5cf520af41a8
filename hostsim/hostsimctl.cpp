// hostsimctl: sends JSON control requests to a running hostsim's control
// socket and prints each reply line.
//
//   hostsimctl [-s SOCKET] 'JSON'...   one request per argument
//   hostsimctl [-s SOCKET]             requests read from standard input, one per line
//
// SOCKET defaults to $HOSTSIM_CONTROL, else /var/run/hostsim.ctl. Exit status:
// 0 when every reply succeeded, 1 when a reply carried "error", 2 when the
// socket could not be used.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "base/version.h"

static bool sendAll(int fd, const std::string &s) {
  size_t off = 0;
  while (off < s.size()) {
    ssize_t n = send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    off += (size_t)n;
  }
  return true;
}

static bool readLine(int fd, std::string &pending, std::string &line) {
  for (;;) {
    size_t nl = pending.find('\n');
    if (nl != std::string::npos) {
      line = pending.substr(0, nl);
      pending.erase(0, nl + 1);
      return true;
    }
    char buf[65536];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    pending.append(buf, (size_t)n);
  }
}

int main(int argc, char **argv) {
  const char *env = getenv("HOSTSIM_CONTROL");
  std::string path = env && *env ? env : "/var/run/hostsim.ctl";
  std::vector<std::string> requests;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "-s") == 0 && i + 1 < argc) {
      path = argv[++i];
    } else if (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0) {
      fprintf(stderr, "usage: hostsimctl [-s SOCKET] ['{\"op\":\"state\"}' ...]\n");
      return 0;
    } else if (strcmp(argv[i], "--version") == 0) {
      printf("hostsimctl %s (revision %s)\n", VETHRA_VERSION, VETHRA_REVISION);
      return 0;
    } else {
      requests.push_back(argv[i]);
    }
  }
  bool fromStdin = requests.empty();
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    fprintf(stderr, "hostsimctl: socket path too long\n");
    return 2;
  }
  memcpy(addr.sun_path, path.c_str(), path.size());
  if (fd < 0 || connect(fd, (struct sockaddr *)&addr, sizeof addr) != 0) {
    fprintf(stderr, "hostsimctl: cannot connect to %s: %s\n", path.c_str(), strerror(errno));
    return 2;
  }
  int rc = 0;
  std::string pending, line, reply;
  auto run = [&](const std::string &req) -> bool {
    if (req.find_first_not_of(" \t\r") == std::string::npos) return true;
    if (!sendAll(fd, req + "\n") || !readLine(fd, pending, reply)) {
      fprintf(stderr, "hostsimctl: connection to %s lost\n", path.c_str());
      rc = 2;
      return false;
    }
    printf("%s\n", reply.c_str());
    fflush(stdout);
    if (reply.find("\"error\"") != std::string::npos && rc == 0) rc = 1;
    return true;
  };
  if (fromStdin) {
    while (std::getline(std::cin, line))
      if (!run(line)) break;
  } else {
    for (const std::string &r : requests)
      if (!run(r)) break;
  }
  close(fd);
  return rc;
}
