// vethra-trace: conversion of public block-trace formats into the host's
// 48-byte trace records, and inspection of record files.
#pragma once

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

constexpr int VTR_REC_SIZE = 48;
constexpr uint8_t VTR_OP_READ10 = 0x28;
constexpr uint8_t VTR_OP_WRITE10 = 0x2A;

// One record, in host order; VTR_EncodeRecord writes the little-endian layout:
// opcode at 1, worldGroupId at 4, handleId at 8, length at 16, lba at 24,
// timestamp at 32, latency at 40; the other bytes are zero.
struct VTR_Rec {
  uint8_t opcode;
  uint32_t worldGroupId;
  uint64_t handleId;
  uint32_t length;     // bytes
  uint64_t lba;        // 512-byte sectors
  uint64_t timestamp;  // microseconds
  uint64_t latency;    // microseconds
};
void VTR_EncodeRecord(const VTR_Rec &r, uint8_t out[VTR_REC_SIZE]);
VTR_Rec VTR_DecodeRecord(const uint8_t in[VTR_REC_SIZE]);

// One I/O of a source trace, before the disk mapping.
struct VTR_SourceIo {
  std::string disk;  // source disk: "web_0" (MSR), "8,16" (blkparse), "5" (DiskSim)
  bool write;
  uint64_t lba;     // sectors
  uint64_t length;  // bytes
  uint64_t timeNs;  // issue time on the source clock
  uint64_t latencyNs;
};

enum VTR_TraceFormat { VTR_FMT_AUTO, VTR_FMT_MSR, VTR_FMT_BLKPARSE, VTR_FMT_DISKSIM };

// blkparse issue (D) and completion (C) events; the other actions are not kept.
struct VTR_BlkEvent {
  char action;  // 'D' or 'C'
  std::string dev;
  std::string rwbs;
  uint64_t timeNs;
  uint64_t sector;
  uint64_t sectors;
};

struct VTR_ConvertStats {
  uint64_t lines = 0;
  uint64_t ios = 0;
  uint64_t malformed = 0;        // lines that are not records of the format
  uint64_t skipped = 0;          // records that are neither reads nor writes, or empty
  uint64_t unmatchedIssues = 0;  // blkparse D without C
  uint64_t unmatchedCompletions = 0;
  uint64_t oversized = 0;  // lengths above 4 GiB - 1, clipped
};

// Line parsers: 1 with *io (or *ev) set, 0 for a line to ignore (blank,
// comment, other event), -1 for a line that is not of the format.
int VTR_ParseMsrLine(const std::string &line, VTR_SourceIo *io);
int VTR_ParseDiskSimLine(const std::string &line, double unitNs, VTR_SourceIo *io);
int VTR_ParseBlkparseLine(const std::string &line, VTR_BlkEvent *ev);
// Pairs each D with the next C of the same device, sector and size in time
// order (blkparse prints CPUs interleaved, so file order is not time order).
// Issues without completion are dropped unless keepUnmatched (latency 0).
void VTR_PairBlkEvents(std::vector<VTR_BlkEvent> &events, bool keepUnmatched,
                       std::vector<VTR_SourceIo> *ios, VTR_ConvertStats *stats);
VTR_TraceFormat VTR_DetectFormat(const std::string &firstLine);

struct VTR_DiskId {
  uint32_t worldGroupId;
  uint64_t handleId;
};
struct VTR_ConvertOptions {
  std::map<std::string, VTR_DiskId> map;  // explicit --map entries
  uint32_t worldGroupId = 70001;          // default assignment for the other disks
  uint64_t firstHandle = 8001;
  std::string onlyDisk;  // keep only this source disk
};

// Maps disks (extending opts->map with the default assignment, in order of
// first appearance), sorts by time and makes timestamps relative to the first.
std::vector<VTR_Rec> VTR_BuildRecords(std::vector<VTR_SourceIo> &ios, VTR_ConvertOptions *opts,
                                      std::vector<std::string> *assigned);

// Reads a text trace (plain or gzip; "-" is standard input) line by line.
// Returns 0, or -1 with *err.
int VTR_ReadTraceFile(const std::string &path, VTR_TraceFormat format, double disksimUnitNs,
                      bool keepUnmatched, std::vector<VTR_SourceIo> *ios, VTR_ConvertStats *stats,
                      std::string *err);

// Per-disk totals of a record file, as the daemon would count them.
struct VTR_DiskTotals {
  uint64_t reads, writes, readBytes, writeBytes, alignedReads, alignedWrites, other;
};
std::map<std::pair<uint32_t, uint64_t>, VTR_DiskTotals> VTR_RecordTotals(
    const std::vector<VTR_Rec> &recs);
std::string VTR_RenderTotals(const std::map<std::pair<uint32_t, uint64_t>, VTR_DiskTotals> &totals);
std::string VTR_RenderRecord(const VTR_Rec &r);
