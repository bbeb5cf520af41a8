// Hash table, disk keys and UUID formatting: no host involved.
#include "registry/hashutil.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include "base/config.h"
#include "base/log.h"
#include "registry/registry.h"
#include "unit/test_support.h"

namespace {

using vtrtest::logLines;

std::string PtrText(const void *p) {
  char text[32];
  snprintf(text, sizeof text, "%p", p);
  return text;
}

class HashTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VTR_ResetRunConfig();
    vtrtest::StartLogCapture();
    ASSERT_EQ(hash_init(&table, 10), 0);
    for (int i = 0; i < 4; i++) nodes[i] = hash_node{nullptr, 0, &values[i]};
  }
  void TearDown() override {
    if (table.buckets) hash_destroy(&table);
    vtrtest::StopLogCapture();
    VTR_ResetRunConfig();
  }
  hash_node *Node(int i, uint64_t key) {
    nodes[i].key = key;
    return &nodes[i];
  }

  hash_table table{};
  hash_node nodes[4];
  int values[4] = {};
};

TEST_F(HashTableTest, DuplicateKeyIsRefusedAndTableStaysUsable) {
  ASSERT_EQ(hash_insert(&table, Node(0, 0x1234)), 0);
  EXPECT_EQ(logLines.back(), std::make_pair(7, "inserting key 0x1234 (ptr " + PtrText(&values[0]) +
                                                   ") into bucket[0]"));
  EXPECT_EQ(hash_insert(&table, Node(1, 0x1234)), -1);
  EXPECT_EQ(logLines.back(), std::make_pair(3, std::string("REHASHING 0x1234")));
  EXPECT_EQ(hash_lookup(&table, 0x1234), &values[0]);
  EXPECT_EQ(hash_lookup_node(&table, 0x1234), &nodes[0]);
  EXPECT_EQ(nodes[0].next, nullptr);
}

TEST_F(HashTableTest, CollisionChainAndRemovalFromMiddleEndAndHead) {
  ASSERT_EQ(hash_insert(&table, Node(0, 3)), 0);
  ASSERT_EQ(hash_insert(&table, Node(1, 13)), 0);
  EXPECT_EQ(logLines.back().second,
            "inserting key 0xd (ptr " + PtrText(&values[1]) + ") into bucket[3] (COLLISION)");
  ASSERT_EQ(hash_insert(&table, Node(2, 23)), 0);  // chain: 23 -> 13 -> 3
  EXPECT_EQ(table.buckets[3], &nodes[2]);

  logLines.clear();
  EXPECT_EQ(hash_lookup(&table, 33), nullptr);  // same bucket, absent key
  EXPECT_EQ(hash_remove(&table, 33), nullptr);
  EXPECT_EQ(hash_remove(&table, 4), nullptr);  // empty bucket
  EXPECT_TRUE(logLines.empty());
  EXPECT_EQ(hash_remove(&table, 13), &values[1]);
  EXPECT_EQ(logLines.back(), std::make_pair(7, "removed key 0xd (ptr " + PtrText(&values[1]) +
                                                   ") from middle of bucket"));
  EXPECT_EQ(nodes[2].next, &nodes[0]);
  EXPECT_EQ(hash_lookup(&table, 3), &values[0]);

  EXPECT_EQ(hash_remove(&table, 3), &values[0]);
  EXPECT_EQ(logLines.back().second,
            "removed key 0x3 (ptr " + PtrText(&values[0]) + ") from end of bucket");

  logLines.clear();
  EXPECT_EQ(hash_remove(&table, 23), &values[2]);
  EXPECT_TRUE(logLines.empty());
  EXPECT_EQ(table.buckets[3], nullptr);
}

TEST_F(HashTableTest, DestroyedOrInvalidTablesAreRefused) {
  ASSERT_EQ(hash_insert(&table, Node(0, 5)), 0);
  ASSERT_EQ(hash_destroy(&table), 0);
  EXPECT_EQ(logLines.back(), std::make_pair(6, "hash " + PtrText(&table) + " destroyed"));
  EXPECT_EQ(values[0], 0);  // the linked record is left alone
  EXPECT_EQ(hash_insert(&table, Node(1, 6)), -1);
  EXPECT_EQ(hash_lookup_node(&table, 5), nullptr);
  EXPECT_EQ(hash_remove(&table, 5), nullptr);
  EXPECT_EQ(hash_destroy(&table), -1);
  EXPECT_EQ(hash_init(&table, 0), -1);
  EXPECT_EQ(hash_init(&table, -4), -1);
}

TEST(DiskKeyTest, DocumentedValues) {
  EXPECT_EQ(VTR_GetDiskKey(1, 2), 8u);
  EXPECT_EQ(VTR_GetDiskKey(0, 0), 0u);
  EXPECT_EQ(VTR_GetDiskKey(70000, 0), 302551352u);  // the product wraps before the halving
  EXPECT_EQ(VTR_GetDiskKey(70000, 0) % VTR_DISK_TABLE_BUCKETS, 1352u);
  EXPECT_EQ(VTR_GetDiskKey(5, (1ULL << 32) + 7), 85u);  // same key as handle 7
}

std::string Uuid(const char *source, size_t size = VTR_UUID_SIZE) {
  char out[VTR_UUID_SIZE + 8];
  memset(out, 'x', sizeof out);
  VTR_FormatUuid(source, out, size);
  return out;
}

TEST(UuidTest, DashedFormFromHostText) {
  EXPECT_EQ(Uuid("0011223344556677-8899aabbccddeeff"), "00112233-4455-6677-8899-aabbccddeeff");
  EXPECT_EQ(Uuid("42 1a 2b 3c 4d 5e 6f 70-81 92 a3 b4 c5 d6 e7 f8"),
            "421a2b3c-4d5e-6f70-8192-a3b4c5d6e7f8");
  EXPECT_EQ(Uuid(""), "");
  EXPECT_EQ(Uuid("abc"), "abc");
  std::string longText(100, 'a');
  std::string formatted = Uuid(longText.c_str());
  EXPECT_EQ(formatted.size(), 63u);
  EXPECT_EQ(formatted.substr(0, 24), "aaaaaaaa-aaaa-aaaa-aaaa-");
  EXPECT_EQ(Uuid("0011223344556677", 10), "00112233-");  // never beyond the buffer
}

}  // namespace
