// Fixed-size, separately chained hash table with intrusive nodes, guarded by
// one mutex. The table links and unlinks the callers' nodes; it never
// allocates or frees a node or a value.
#pragma once

#include <pthread.h>
#include <stdint.h>

struct hash_node {
  hash_node *next;
  uint64_t key;
  void *value;
};

struct hash_table {
  hash_node **buckets;
  int32_t bucketCount;
  pthread_mutex_t lock;
};

int hash_init(hash_table *table, int32_t bucketCount);
int hash_insert(hash_table *table, hash_node *node);
void *hash_lookup(hash_table *table, uint64_t key);
hash_node *hash_lookup_node(hash_table *table, uint64_t key);
void *hash_remove(hash_table *table, uint64_t key);
int hash_destroy(hash_table *table);

// Blocking mutex operations over the table's lock, despite their names.
int iscsi_spin_lock_init(pthread_mutex_t *lock);
int iscsi_spin_lock(pthread_mutex_t *lock);
int iscsi_spin_unlock(pthread_mutex_t *lock);
int iscsi_spin_lock_destroy(pthread_mutex_t *lock);
