// STUB: replaced by the registry implementation.
#include "registry/hashutil.h"
int hash_init(hash_table *, int32_t) { return -1; }
int hash_insert(hash_table *, hash_node *) { return -1; }
void *hash_lookup(hash_table *, uint64_t) { return nullptr; }
hash_node *hash_lookup_node(hash_table *, uint64_t) { return nullptr; }
void *hash_remove(hash_table *, uint64_t) { return nullptr; }
int hash_destroy(hash_table *) { return 0; }
int iscsi_spin_lock_init(pthread_mutex_t *) { return -1; }
int iscsi_spin_lock(pthread_mutex_t *) { return -1; }
int iscsi_spin_unlock(pthread_mutex_t *) { return -1; }
int iscsi_spin_lock_destroy(pthread_mutex_t *) { return -1; }
