// The command lines of the operator tools: the daemon option check that the
// service runs before the daemon, and --version.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <sstream>

#include "base/version.h"
#include "vethractl.h"

namespace {

std::vector<std::string> Split(const std::string &s) {
  std::istringstream in(s);
  std::vector<std::string> out;
  for (std::string word; in >> word;) out.push_back(word);
  return out;
}

// Runs a shell command; its exit status, and what it wrote in *out.
int Shell(const std::string &command, std::string *out) {
  FILE *p = popen(command.c_str(), "r");
  if (!p) return -1;
  char buf[256];
  while (fgets(buf, sizeof buf, p)) *out += buf;
  return WEXITSTATUS(pclose(p));
}

// Every form the daemon reads as meant: short, clustered, attached values,
// long options with a space or '=', abbreviations.
TEST(ToolsCli, OptionCheckAcceptsEveryValidForm) {
  const char *valid[] = {"",
                         "-s",
                         "-s -v 5",
                         "-a -c",
                         "-as",
                         "-w 70001 -w 70002",
                         "-w70001",
                         "-d 0",
                         "-d 3600 -n rack7",
                         "-d3600",
                         "--duration 60",
                         "--duration=60",
                         "--dur=60",
                         "--worldgroupid=70001",
                         "--name=rack7 --verbose=7",
                         "--changerate_shll",
                         "--changerate_hll --all",
                         "-v0",
                         "-l",
                         "-h",
                         "-n rack7 -s"};
  for (const char *args : valid) {
    std::string why;
    EXPECT_EQ(VTR_CheckDaemonOptions(Split(args), &why), VTR_EXIT_OK) << args << ": " << why;
  }
}

// What the daemon would misread: numbers it takes as 0 or partly, options it
// answers with its usage text and exit status 0, stray arguments.
TEST(ToolsCli, OptionCheckRefusesWhatTheDaemonWouldMisread) {
  const struct {
    const char *args;
    const char *message;
  } cases[] = {
      {"-d abc", "-d needs a whole number"},
      {"-d 10s", "-d needs a whole number"},
      {"-d -5", "-d needs a whole number"},
      {"--duration=", "-d needs a whole number"},
      {"-w abc", "-w needs a world group id"},
      {"-w 0", "-w needs a world group id"},
      {"-w 4294967296", "-w needs a world group id"},
      {"-s --worldgroupid=7x", "-w needs a world group id"},
      {"-v abc", "-v needs a log level"},
      {"-v 8", "-v needs a log level"},
      {"-d", "option -d needs a value"},
      {"-q", "unknown option -q"},
      {"--bogus", "unknown option --bogus"},
      {"-x", "option -x is not supported"},
      {"-s -t", "option -t is not supported"},
      {"-sm", "option -m is not supported"},
      {"-s 5", "unexpected argument 5"},
      {"-s -- -a", "unexpected argument -a"},
  };
  for (const auto &c : cases) {
    std::string why;
    EXPECT_EQ(VTR_CheckDaemonOptions(Split(c.args), &why), VTR_EXIT_USAGE) << c.args;
    EXPECT_NE(why.find(c.message), std::string::npos) << c.args << ": " << why;
  }
}

// The command line of the service (ExecStartPre): exit 2 and a message on
// standard error, nothing on standard output.
TEST(ToolsCli, OptionCheckCommandExitsWithUsageError) {
  std::string out;
  EXPECT_EQ(Shell(VETHRA_TOOLS_BIN_DIR "/vethractl check-options -- -s -d abc 2>&1", &out), 2);
  EXPECT_EQ(out, "vethractl: daemon options: -d needs a whole number of seconds\n");
}

TEST(ToolsCli, EveryToolReportsTheBuildVersion) {
  for (const char *tool : {VETHRA_TOOLS_BIN_DIR "/vethractl", VETHRA_TOOLS_BIN_DIR "/vethra-trace",
                           HOSTSIMCTL_BINARY}) {
    std::string out;
    EXPECT_EQ(Shell(std::string(tool) + " --version", &out), 0) << tool;
    std::string name = std::string(tool).substr(std::string(tool).rfind('/') + 1);
    EXPECT_EQ(out, name + " " VETHRA_VERSION " (revision " VETHRA_REVISION ")\n");
  }
}

}  // namespace
