// The command lines of the operator tools: the daemon option check that the
// service runs before the daemon, and --version.
#include <gtest/gtest.h>

#include <sstream>

#include "base/version.h"
#include "tools_docs.h"

namespace {

std::vector<std::string> Split(const std::string &s) {
  std::istringstream in(s);
  std::vector<std::string> out;
  for (std::string word; in >> word;) out.push_back(word);
  return out;
}

// Every form the daemon reads as meant is accepted (no message): short options,
// clustered, values apart and attached, long options with a space or '=',
// abbreviations. Refused is what the daemon would misread: numbers it takes as
// 0 or partly, options it answers with its usage text and exit status 0, stray
// arguments.
TEST(ToolsCli, OptionCheckAcceptsValidFormsAndRefusesWhatTheDaemonWouldMisread) {
  const std::pair<const char *, std::vector<const char *>> cases[] = {
      {nullptr, {"", "-s", "-s -v 5", "-a -c", "-as", "-v0", "-l", "-h", "-n rack7 -s"}},
      {nullptr, {"-w 70001 -w 70002", "-w70001", "-d 0", "-d 3600 -n rack7", "-d3600"}},
      {nullptr, {"--duration 60", "--duration=60", "--dur=60", "--worldgroupid=70001"}},
      {nullptr, {"--name=rack7 --verbose=7", "--changerate_shll", "--changerate_hll --all"}},
      {"-d needs a whole number", {"-d abc", "-d 10s", "-d -5", "--duration="}},
      {"-w needs a world group id", {"-w abc", "-w 0", "-w 4294967296", "-s --worldgroupid=7x"}},
      {"-v needs a log level", {"-v abc", "-v 8"}},
      {"option -d needs a value", {"-d"}},
      {"unknown option -q", {"-q"}},
      {"unknown option --bogus", {"--bogus"}},
      {"option -x is not supported", {"-x"}},
      {"option -t is not supported", {"-s -t"}},
      {"option -m is not supported", {"-sm"}},
      {"unexpected argument 5", {"-s 5"}},
      {"unexpected argument -a", {"-s -- -a"}},
  };
  for (const auto &[message, forms] : cases) {
    for (const char *args : forms) {
      std::string why;
      EXPECT_EQ(VTR_CheckDaemonOptions(Split(args), &why), message ? VTR_EXIT_USAGE : VTR_EXIT_OK)
          << args << ": " << why;
      if (message) {
        EXPECT_NE(why.find(message), std::string::npos) << args << ": " << why;
      }
    }
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
