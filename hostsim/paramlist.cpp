// Parameter lists: typed (int64 or string) parameters in a growable list.
// Parameters live in a deque so that a TARN_Param pointer stays valid while
// the list grows.
#include <deque>
#include <new>
#include <string>

#include "internal.h"

struct TARN_Param {
  bool isString = false;
  int64_t intValue = 0;
  std::string text;
};

struct TARN_ParamList {
  int kind = 0;
  std::deque<TARN_Param> params;
};

namespace hostsim {
namespace {
std::atomic<uint64_t> g_created{0};
std::atomic<uint64_t> g_destroyed{0};

TARN_ParamList *createList(int kind) {
  countCall(N_paramListCreate);
  if (takeFault(N_paramListCreate) != ST_OK) return nullptr;
  if (kind != TARN_PARAMLIST_INPUT && kind != TARN_PARAMLIST_INSTANCE) return nullptr;
  TARN_ParamList *list = new (std::nothrow) TARN_ParamList;
  if (!list) return nullptr;
  list->kind = kind;
  g_created.fetch_add(1, std::memory_order_relaxed);
  return list;
}
}  // namespace

uint64_t paramListsCreated() { return g_created.load(); }
uint64_t paramListsDestroyed() { return g_destroyed.load(); }

// Used by the node code to fill result lists.
TARN_ParamList *allocResultList() { return createList(TARN_PARAMLIST_INSTANCE); }
}  // namespace hostsim

using namespace hostsim;

extern "C" {

TARN_ParamList *TARN_ParamListCreate(int kind, int capacity) {
  if (capacity < 0) return nullptr;
  return createList(kind);
}

TARN_ParamList *TARN_ParamListCreateAndAllocateParams(int kind, int count, int bytes) {
  if (count < 0 || bytes < 0) return nullptr;
  return createList(kind);
}

TARN_Status TARN_ParamListAddInt(TARN_ParamList *list, int64_t value) {
  if (!list) return ST_BAD_PARAM;
  try {
    TARN_Param &p = list->params.emplace_back();
    p.intValue = value;
  } catch (const std::bad_alloc &) {
    return ST_NO_MEMORY;
  }
  return ST_OK;
}

TARN_Status TARN_ParamListAddString(TARN_ParamList *list, const char *value) {
  if (!list || !value) return ST_BAD_PARAM;
  try {
    TARN_Param &p = list->params.emplace_back();
    p.isString = true;
    p.text = value;
  } catch (const std::bad_alloc &) {
    return ST_NO_MEMORY;
  }
  return ST_OK;
}

TARN_Status TARN_ParamListRemoveLastParam(TARN_ParamList *list) {
  if (!list || list->params.empty()) return ST_BAD_PARAM;
  list->params.pop_back();
  return ST_OK;
}

int TARN_ParamListUsedCount(const TARN_ParamList *list) {
  return list ? static_cast<int>(list->params.size()) : 0;
}

TARN_Param *TARN_ParamListGetParam(TARN_ParamList *list, int index) {
  if (!list || index < 0 || static_cast<size_t>(index) >= list->params.size()) return nullptr;
  return &list->params[index];
}

int64_t TARN_ParamGetInt(const TARN_Param *param) {
  if (!param || param->isString) return 0;
  return param->intValue;
}

void TARN_ParamListDestroy(TARN_ParamList *list) {
  if (!list) return;
  delete list;
  g_destroyed.fetch_add(1, std::memory_order_relaxed);
}

}  // extern "C"

namespace hostsim {
// Accessors for the node code (the struct is private to this file).
bool paramInt(TARN_ParamList *list, int index, int64_t &out) {
  TARN_Param *p = TARN_ParamListGetParam(list, index);
  if (!p || p->isString) return false;
  out = p->intValue;
  return true;
}
bool paramString(TARN_ParamList *list, int index, std::string &out) {
  TARN_Param *p = TARN_ParamListGetParam(list, index);
  if (!p || !p->isString) return false;
  out = p->text;
  return true;
}
void paramClear(TARN_ParamList *list) { list->params.clear(); }
}  // namespace hostsim
