// vethra-trace's converters on small sample traces written for the tests.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <fstream>

#include "vethra_trace.h"

namespace {

std::string WriteTemp(const char *name, const std::string &text) {
  std::string path = testing::TempDir() + name;
  std::ofstream(path) << text;
  return path;
}

// The records as "R|W world group:handle lba+length @timestamp latency".
std::vector<std::string> Show(const std::vector<VTR_Rec> &recs) {
  std::vector<std::string> out;
  for (const VTR_Rec &r : recs) {
    out.push_back(std::string(r.opcode == VTR_OP_READ10    ? "R "
                              : r.opcode == VTR_OP_WRITE10 ? "W "
                                                           : "? ") +
                  std::to_string(r.worldGroupId) + ":" + std::to_string(r.handleId) + " " +
                  std::to_string(r.lba) + "+" + std::to_string(r.length) + " @" +
                  std::to_string(r.timestamp) + " " + std::to_string(r.latency));
  }
  return out;
}

// A source I/O as "R|W disk lba+length @time latency".
std::string ShowIo(const VTR_SourceIo &io) {
  return std::string(io.write ? "W " : "R ") + io.disk + " " + std::to_string(io.lba) + "+" +
         std::to_string(io.length) + " @" + std::to_string(io.timeNs) + " " +
         std::to_string(io.latencyNs);
}

TEST(ToolsConvert, MsrLinesAndRecordLayout) {
  VTR_SourceIo io{};
  ASSERT_EQ(VTR_ParseMsrLine("128166385365934025,web,0,Write,3160743424,4096,135731\r\n", &io), 1);
  // Offsets in bytes, times in 100 ns units.
  EXPECT_EQ(ShowIo(io), "W web_0 6173327+4096 @12816638536593402500 13573100");
  EXPECT_EQ(VTR_ParseMsrLine("Timestamp,Hostname,DiskNumber,Type,Offset,Size,ResponseTime", &io),
            0);
  EXPECT_EQ(VTR_ParseMsrLine("1,web,0,Trim,0,512,1", &io), -1);
  EXPECT_EQ(VTR_ParseMsrLine("1,web,0,Read,0,512", &io), -1);

  // Two disks, out of time order: sorted, relative µs, mapped by --map or in order.
  std::vector<VTR_SourceIo> ios;
  for (const char *l : {"20000,src,1,Read,4096,8192,25", "10000,src,0,Write,512,512,10",
                        "30000,src,0,Read,0,4096,99"}) {
    ASSERT_EQ(VTR_ParseMsrLine(l, &io), 1);
    ios.push_back(io);
  }
  VTR_ConvertOptions opts;
  opts.map["src_1"] = {42, 7};
  std::vector<std::string> assigned;
  std::vector<VTR_Rec> recs = VTR_BuildRecords(ios, &opts, &assigned);
  EXPECT_EQ(assigned, std::vector<std::string>{"src_0=70001:8001"});
  // Time stamps in µs from the first I/O (100 ns units in the file).
  EXPECT_EQ(Show(recs),
            (std::vector<std::string>{"W 70001:8001 1+512 @0 1", "R 42:7 8+8192 @1000 2",
                                      "R 70001:8001 0+4096 @2000 9"}));
  uint8_t raw[VTR_REC_SIZE];
  VTR_EncodeRecord(recs[1], raw);
  const uint8_t want[24] = {0, 0x28, 0, 0, 42, 0,    0, 0, 7, 0, 0, 0,
                            0, 0,    0, 0, 0,  0x20, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(memcmp(raw, want, sizeof want), 0);
  EXPECT_EQ(raw[24], 8);
  EXPECT_EQ(raw[33], 0x03);  // 1000 = 0x3E8, little-endian
  EXPECT_EQ(Show({VTR_DecodeRecord(raw)}), Show({recs[1]}));
  auto totals = VTR_RecordTotals(recs);
  const VTR_DiskTotals &a = totals[std::make_pair(70001u, (uint64_t)8001)],
                       &b = totals[std::make_pair(42u, (uint64_t)7)];
  EXPECT_EQ(a.writes, 1u);
  EXPECT_EQ(a.alignedReads, 1u);
  EXPECT_EQ(b.readBytes, 8192u);
}

// D and C events paired on device, sector and size in time order, whatever
// the file order (the write's completion comes before its issue); unmatched
// events and data-less requests are counted; the last line has no line end.
const char kBlkparse[] =
    "  8,16   1        1     0.000100000  4020  D   R 100 + 8 [java]\n"
    "  8,16   0        2     0.000500000     0  C   W 200 + 16 [0]\n"
    "  8,16   1        3     0.000200000  4020  D  WS 200 + 16 [kworker]\n"
    "  8,16   1        4     0.000300000  4020  D   R 100 + 8 [java]\n"  // same range again
    "  8,16   0        5     0.000350000     0  C   R 100 + 8 [0]\n"
    "  8,16   0        6     0.000450000     0  C   R 100 + 8 [0]\n"
    "  8,16   5        0     0.000460000     0  m   N cfq18615S / insert_request\n"
    "  8,16   1        7     0.000470000  4020  D  FN 0 + 0 [jbd2]\n"
    "  8,32   1        8     1.000000000  4020  D   R 8 + 8 [java]\n"  // never completed
    "  8,16   0        9     0.000900000     0  C   R 999 + 8 [0]\n"   // never issued
    "  8,16   1       10     0.000910000  4020  A   R 1444645666 + 256 <- (8,17) 1444645632\n"
    "CPU0 (8,16):\n"
    " Reads Queued:           0,        0KiB\t Writes Queued:           0,        0KiB";

TEST(ToolsConvert, BlkparsePairsIssuesWithCompletions) {
  std::string path = WriteTemp("vethra_blk.txt", kBlkparse);
  std::vector<VTR_SourceIo> ios;
  VTR_ConvertStats st;
  std::string err;
  ASSERT_EQ(VTR_ReadTraceFile(path, VTR_FMT_AUTO, 1e6, false, &ios, &st, &err), 0) << err;
  EXPECT_EQ(st.lines, 13u);
  EXPECT_EQ(st.malformed, 2u);  // the summary
  EXPECT_EQ(st.skipped, 1u);    // the flush
  EXPECT_EQ(st.unmatchedIssues, 1u);
  EXPECT_EQ(st.unmatchedCompletions, 1u);
  VTR_ConvertOptions opts;
  std::vector<std::string> assigned;
  std::vector<VTR_Rec> recs = VTR_BuildRecords(ios, &opts, &assigned);
  // The first D at 100 µs pairs with the first C at 350 µs.
  EXPECT_EQ(Show(recs), (std::vector<std::string>{"R 70001:8001 100+4096 @0 250",
                                                  "W 70001:8001 200+8192 @100 300",
                                                  "R 70001:8001 100+4096 @200 150"}));
  ios.clear();
  ASSERT_EQ(VTR_ReadTraceFile(path, VTR_FMT_BLKPARSE, 1e6, true, &ios, &st, &err), 0);
  EXPECT_EQ(ios.size(), 4u);  // the issue without completion kept, latency 0
}

TEST(ToolsConvert, DiskSimGzipAndUnknownInput) {
  VTR_SourceIo io{};
  ASSERT_EQ(VTR_ParseDiskSimLine("0.594 5 174933616 16 1\r", 1e6, &io), 1);
  EXPECT_EQ(ShowIo(io), "R 5 174933616+8192 @594000 0");
  EXPECT_EQ(VTR_ParseDiskSimLine("938513000 4 264719034 16 0", 1, &io), 1);
  EXPECT_EQ(ShowIo(io), "W 4 264719034+8192 @938513000 0");
  EXPECT_EQ(VTR_ParseDiskSimLine("1 2 3 x 1", 1, &io), -1);

  std::string plain =
      WriteTemp("vethra_msr.csv", "100,h,2,Read,0,4096,10\n200,h,2,Write,4096,0,10\n");
  ASSERT_EQ(system(("gzip -f " + plain).c_str()), 0);
  std::vector<VTR_SourceIo> ios;
  VTR_ConvertStats st;
  std::string err;
  ASSERT_EQ(VTR_ReadTraceFile(plain + ".gz", VTR_FMT_AUTO, 1e6, false, &ios, &st, &err), 0) << err;
  ASSERT_EQ(ios.size(), 1u);  // the 0-byte write has no data
  EXPECT_EQ(ShowIo(ios[0]), "R h_2 0+4096 @10000 1000");
  EXPECT_EQ(st.skipped, 1u);
  EXPECT_EQ(VTR_ReadTraceFile(WriteTemp("vethra_bad.txt", "hello world\n"), VTR_FMT_AUTO, 1e6,
                              false, &ios, &st, &err),
            -1);
  EXPECT_NE(err.find("unknown trace format"), std::string::npos);
}

}  // namespace
