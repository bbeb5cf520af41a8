// Fixed-bucket, separately chained hash table with intrusive nodes under one
// mutex. Every operation but init and destroy holds the mutex for its whole
// run; a table that was never created or has been destroyed (no bucket array,
// bucket count <= 0) is refused with the operation's failure result, without
// touching its (destroyed) mutex.
#include "registry/hashutil.h"

#include <stdlib.h>

#include "base/log.h"

namespace {

bool TableUsable(const hash_table *table) {
  return table != nullptr && table->buckets != nullptr && table->bucketCount > 0;
}

uint32_t BucketOf(const hash_table *table, uint64_t key) {
  return static_cast<uint32_t>(key % static_cast<uint64_t>(table->bucketCount));
}

uint32_t Low32(uint64_t key) { return static_cast<uint32_t>(key); }

bool Lock(hash_table *table) {
  if (iscsi_spin_lock(&table->lock) != 0) {
    VTR_Log(LOG_ERR, "iscsi_spin_lock() failed\n");
    return false;
  }
  return true;
}

// An unlock failure is reported with the lock message; there is no other text.
bool Unlock(hash_table *table) {
  if (iscsi_spin_unlock(&table->lock) != 0) {
    VTR_Log(LOG_ERR, "iscsi_spin_lock() failed\n");
    return false;
  }
  return true;
}

// First node with `key` in its bucket, or null. The caller holds the lock.
hash_node *FindLocked(hash_table *table, uint64_t key) {
  for (hash_node *node = table->buckets[BucketOf(table, key)]; node; node = node->next) {
    if (node->key == key) return node;
  }
  return nullptr;
}

}  // namespace

int iscsi_spin_lock_init(pthread_mutex_t *lock) {
  return pthread_mutex_init(lock, nullptr) == 0 ? 0 : -1;
}
int iscsi_spin_lock(pthread_mutex_t *lock) { return pthread_mutex_lock(lock); }
int iscsi_spin_unlock(pthread_mutex_t *lock) { return pthread_mutex_unlock(lock); }
int iscsi_spin_lock_destroy(pthread_mutex_t *lock) { return pthread_mutex_destroy(lock); }

int hash_init(hash_table *table, int32_t bucketCount) {
  if (table == nullptr) return -1;
  if (bucketCount <= 0) {
    VTR_Log(LOG_ERR, "HashUtil: invalid bucket count %d", bucketCount);
    return -1;
  }
  if (iscsi_spin_lock_init(&table->lock) != 0) {
    VTR_Log(LOG_ERR, "iscsi_spin_lock_init() failed\n");
    return -1;
  }
  table->bucketCount = bucketCount;
  table->buckets =
      static_cast<hash_node **>(calloc(static_cast<size_t>(bucketCount), sizeof(hash_node *)));
  if (table->buckets == nullptr) {
    VTR_Log(LOG_ERR, "HashUtil: malloc() failed");
    table->bucketCount = 0;
    if (iscsi_spin_lock_destroy(&table->lock) != 0) {
      VTR_Log(LOG_ERR, "iscsi_spin_lock_destroy() failed\n");
    }
    return -1;
  }
  return 0;
}

int hash_insert(hash_table *table, hash_node *node) {
  if (!TableUsable(table) || node == nullptr) return -1;
  if (!Lock(table)) return -1;
  uint32_t bucket = BucketOf(table, node->key);
  hash_node *head = table->buckets[bucket];
  if (head == nullptr) {
    node->next = nullptr;
    table->buckets[bucket] = node;
    VTR_Log(LOG_DEBUG, "inserting key 0x%x (ptr %p) into bucket[%i]", Low32(node->key), node->value,
            static_cast<int>(bucket));
  } else {
    for (hash_node *cur = head; cur; cur = cur->next) {
      if (cur->key == node->key) {
        VTR_Log(LOG_ERR, "REHASHING 0x%x", Low32(node->key));
        Unlock(table);
        return -1;
      }
    }
    node->next = head;
    table->buckets[bucket] = node;
    VTR_Log(LOG_DEBUG, "inserting key 0x%x (ptr %p) into bucket[%i] (COLLISION)", Low32(node->key),
            node->value, static_cast<int>(bucket));
  }
  return Unlock(table) ? 0 : -1;
}

hash_node *hash_lookup_node(hash_table *table, uint64_t key) {
  if (!TableUsable(table)) return nullptr;
  if (!Lock(table)) return nullptr;
  hash_node *node = FindLocked(table, key);
  return Unlock(table) ? node : nullptr;
}

void *hash_lookup(hash_table *table, uint64_t key) {
  if (!TableUsable(table)) return nullptr;
  if (!Lock(table)) return nullptr;
  hash_node *node = FindLocked(table, key);
  void *value = node ? node->value : nullptr;
  return Unlock(table) ? value : nullptr;
}

void *hash_remove(hash_table *table, uint64_t key) {
  if (!TableUsable(table)) return nullptr;
  if (!Lock(table)) return nullptr;
  hash_node **link = &table->buckets[BucketOf(table, key)];
  hash_node *prev = nullptr;
  hash_node *node = *link;
  while (node && node->key != key) {
    prev = node;
    node = node->next;
  }
  if (node == nullptr) {
    Unlock(table);
    return nullptr;
  }
  if (prev == nullptr) {
    *link = node->next;
  } else {
    prev->next = node->next;
    if (node->next) {
      VTR_Log(LOG_DEBUG, "removed key 0x%x (ptr %p) from middle of bucket", Low32(key),
              node->value);
    } else {
      VTR_Log(LOG_DEBUG, "removed key 0x%x (ptr %p) from end of bucket", Low32(key), node->value);
    }
  }
  void *value = node->value;
  return Unlock(table) ? value : nullptr;
}

int hash_destroy(hash_table *table) {
  if (!TableUsable(table)) return -1;
  table->bucketCount = 0;
  free(table->buckets);
  table->buckets = nullptr;
  if (iscsi_spin_lock_destroy(&table->lock) != 0) {
    VTR_Log(LOG_ERR, "iscsi_spin_lock_destroy() failed\n");
    return -1;
  }
  VTR_Log(LOG_INFO, "hash %p destroyed", static_cast<void *>(table));
  return 0;
}
