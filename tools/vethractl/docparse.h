// The two readers behind VTR_ParseMetricsDoc and VTR_ParseChangeRateDoc.
//
// The daemon writes its metrics and change-rate documents in one fixed layout
// (compact JSON, keys in a fixed order). VTR_FastParseDoc reads exactly that
// layout in one pass without building a JSON tree; whatever departs from it
// (another key order, extra keys, nulls, reals, invalid text...) is left to
// the general reader through jansson, which decides and words any error. The
// fast reader accepts only texts that jansson accepts with the same result.
#pragma once

#include <stddef.h>

#include <string>

#include "vethractl.h"

enum VTR_DocKind { VTR_DOC_METRICS, VTR_DOC_CHANGE_RATE };

// true with *out filled; false, *out untouched, when the text is not in the
// daemon's layout.
bool VTR_FastParseDoc(const char *text, size_t len, VTR_DocKind kind, VTR_Doc *out);

// The general reader: 0 on success, -1 with *err set (and *out possibly
// partly filled) when the text is not such a document.
int VTR_JanssonParseDoc(const std::string &json, VTR_DocKind kind, VTR_Doc *out, std::string *err);
