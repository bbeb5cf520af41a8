// Which VMs -a/-w select, what the shutdown stops and the clean-up of traces
// left by an earlier run are checked in-process (unit_registry).

#include <regex>

#include "e2e/harness.h"

namespace {

using namespace e2e;

// Three powered-on VMs and one powered-off VM that the host does not list;
// reading the first VM's information fails once.
const char kListHost[] = R"({"faults":[{"node":"vm_vmmGroupInfo","status":"0xBAD0001","count":1}],
  "vms":[
    {"instanceId":11,"worldGroupId":1001,"vmmLeaderId":1002,"worldIds":[1003],
     "displayName":"db01","configFile":"/srv/vms/db01/db01.conf",
     "uuid":"42 1a 2b 3c 4d 5e 6f 70-81 92 a3 b4 c5 d6 e7 f8",
     "disks":[{"handleId":8001,"name":"scsi0:0"},{"handleId":8002,"name":"scsi0:1"}]},
    {"instanceId":21,"worldGroupId":2001,"vmmLeaderId":2002,"displayName":"web01",
     "configFile":"/srv/vms/web01/web01.conf","disks":[{"handleId":9001,"name":"scsi0:0"}]},
    {"instanceId":41,"worldGroupId":4001,"poweredOn":false,"displayName":"off01",
     "disks":[{"handleId":9901,"name":"scsi0:0"}]},
    {"instanceId":31,"worldGroupId":3001,"vmmLeaderId":3002,"displayName":"backup 01",
     "configFile":"/srv/vms2/backup 01/backup 01.conf",
     "disks":[{"handleId":8589934593,"name":"scsi1:0"}]}]})";

// With -w, list mode prints every VM but only the chosen VM's disks, after
// the empty line that ends the start-up's list of world group ids. A VM whose
// information cannot be read shows the host's status text instead.
TEST(Startup, ListMode) {
  Daemon d;
  RunToExit(&d, {{"-l", "-w", "3001"}, kListHost});
  ExpectCleanExit(&d);  // list mode traces nothing
  std::string out = Stdout(&d);
  size_t vm = out.find("Virtual Machine");
  ASSERT_NE(vm, std::string::npos) << out;
  EXPECT_TRUE(std::regex_match(out.substr(0, vm), std::regex("\nOne of the TARN apis failed with "
                                                             "error\\(195887105\\): [^\n]+")))
      << out;
  EXPECT_EQ(out.substr(vm),
            "Virtual Machine worldGroupID: 2001, Virtual Machine Display Name: web01, "
            "Virtual Machine Config File: /srv/vms/web01/web01.conf, \n"
            "Virtual Machine worldGroupID: 3001, Virtual Machine Display Name: backup 01, "
            "Virtual Machine Config File: /srv/vms2/backup 01/backup 01.conf, \n"
            "Virtual SCSI Disk handleID: 8589934593 (scsi1:0)\n");
  EXPECT_EQ(FindLogs(&d, "Enabling tracing for the below VM wordlIds:").size(), 1u);
  std::vector<std::string> ids;  // text and priority of the lines naming the ids
  for (const auto &l : FindLogs(&d, "worldId: ")) {
    if (l.text.rfind("worldId: ", 0) == 0)
      ids.push_back(l.text + " <" + std::to_string(l.priority) + ">");
  }
  EXPECT_EQ(ids, std::vector<std::string>{"worldId: 3001 <6>"}) << LogDump(&d);

  // It skips the clean-up and leaks no list.
  Json state = ExitState(&d);
  EXPECT_EQ(JsonInt(json_object_get(state.get(), "calls"), "perf_vethra_monitoredDiskCount"), 0);
  EXPECT_GT(JsonInt(state.get(), "paramListsCreated"), 0);
  EXPECT_EQ(JsonInt(state.get(), "paramListsCreated"), JsonInt(state.get(), "paramListsDestroyed"));
}

// Failures on every start-up path: the daemon goes on, traces what it can,
// and destroys every parameter list it created.
TEST(Startup, InjectedFailuresLeakNoParameterList) {
  const char host[] = R"({
    "staleTraces":[{"worldGroupId":9,"handleId":901},{"worldGroupId":55,"handleId":5501}],
    "faults":[{"node":"perf_vethra_command_clearLogChannel","count":1},
              {"node":"perf_vethra_handles_handleInfo","count":1},
              {"node":"worldGroups_vscsi_stats_stopVethraTrace","count":1},
              {"node":"vm_cartelID","count":1},
              {"node":"worldGroups_hasVmm","count":1},
              {"node":"worldGroups_vmmLeaderID","count":1},
              {"node":"worldGroups_vscsi_name","count":1},
              {"node":"worldGroups_vscsi_stats_startVethraTrace","count":1},
              {"node":"worldGroups_vscsi","count":1}],
    "vms":[{"instanceId":1,"worldGroupId":7,"vmmLeaderId":70,"worldIds":[71],"displayName":"vm7",
            "disks":[{"handleId":701,"name":"scsi0:0"},{"handleId":702,"name":"scsi0:1"}]},
           {"instanceId":2,"worldGroupId":9,"vmmLeaderId":90,"worldIds":[91],"displayName":"vm9",
            "disks":[{"handleId":901,"name":"scsi0:0"}]}]})";
  for (std::vector<std::string> args :
       {std::vector<std::string>{"-a"}, {"-a", "-w", "9"}, {"-l"}, {"-l", "-w", "7"}}) {
    Daemon d;
    ASSERT_TRUE(Start(&d, {args, host}));
    if (WaitListening(&d, d.SocketPath())) {
      ASSERT_TRUE(Signal(&d, SIGTERM));
    }
    EXPECT_EQ(WaitExit(&d), 0) << args[0] << " " << Stderr(&d) << LogDump(&d);
    Json last = ExitState(&d);
    ASSERT_TRUE(last) << "no hostsim exit state";
    EXPECT_GT(JsonInt(last.get(), "paramListsCreated"), 0);
    EXPECT_EQ(JsonInt(last.get(), "paramListsCreated"), JsonInt(last.get(), "paramListsDestroyed"));
    // Whatever was started was stopped again (VM 9's stale trace is the host's).
    for (const auto &t : TracedHandles(last.get())) EXPECT_NE(t.first, 7u) << t.second;
  }
}

}  // namespace
