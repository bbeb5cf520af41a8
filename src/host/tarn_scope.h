// Scope guards for host parameter lists, shared by the registry and the
// tracing control. They make sure that every list an operation creates is
// destroyed on every return path, and that every integer appended to a
// caller's instance list is removed again, so the caller gets the list back
// as it gave it.
#pragma once

#include <stdint.h>

#include <memory>

#include "base/status.h"
#include "host/hostrt.h"

struct VTR_ParamListDeleter {
  void operator()(TARN_ParamList *list) const { TARN_ParamListDestroy(list); }
};
// Owns a list created by this process; destroyed when the owner goes.
using VTR_OwnedParamList = std::unique_ptr<TARN_ParamList, VTR_ParamListDeleter>;

// Appends one integer to an instance list for the lifetime of the guard.
// When the append fails, status() is the host's status and nothing is removed
// at the end; callers then skip the request that needed the integer.
struct VTR_ScopedParam {
  VTR_ScopedParam(TARN_ParamList *list, int64_t value)
      : list_(list), status_(list ? TARN_ParamListAddInt(list, value) : VTR_BAD_PARAM) {}
  ~VTR_ScopedParam() {
    if (status_ == VTR_OK) TARN_ParamListRemoveLastParam(list_);
  }
  VTR_ScopedParam(const VTR_ScopedParam &) = delete;
  VTR_ScopedParam &operator=(const VTR_ScopedParam &) = delete;

  bool ok() const { return status_ == VTR_OK; }
  TARN_Status status() const { return status_; }

 private:
  TARN_ParamList *list_;
  TARN_Status status_;
};

// Integer parameter `index` of a result list, or false when it is missing.
inline bool VTR_ParamInt(TARN_ParamList *list, int index, int64_t *value) {
  TARN_Param *param = TARN_ParamListGetParam(list, index);
  if (param == nullptr) return false;
  *value = TARN_ParamGetInt(param);
  return true;
}
