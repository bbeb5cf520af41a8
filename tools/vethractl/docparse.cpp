// One-pass reader of the daemon's metrics and change-rate documents in the
// layout the daemon writes. It is strict in the way jansson is (UTF-8,
// escapes, surrogate pairs, no NUL in strings, integers within 64 bits, only
// whitespace after the document) so that every text it accepts means the
// same to both readers; it gives up on anything else and lets jansson decide.
#include "docparse.h"

#include <string.h>

namespace {

struct Cursor {
  const char *p;
  const char *end;
};

inline void SkipWs(Cursor *c) {
  while (c->p < c->end && (*c->p == ' ' || *c->p == '\n' || *c->p == '\r' || *c->p == '\t')) c->p++;
}

inline bool Eat(Cursor *c, char ch) {
  SkipWs(c);
  if (c->p == c->end || *c->p != ch) return false;
  c->p++;
  return true;
}

// `"key"` spelled exactly so (an escaped spelling is left to jansson), then ':'.
template <size_t N>
bool Key(Cursor *c, const char (&quoted)[N]) {
  SkipWs(c);
  if ((size_t)(c->end - c->p) < N - 1 || memcmp(c->p, quoted, N - 1) != 0) return false;
  c->p += N - 1;
  return Eat(c, ':');
}

// An integer as jansson reads it: -?(0|[1-9][0-9]*), not followed by a
// fraction or exponent (that would be a real), within int64. Returned as the
// two's complement bits, which is how the documents' values are used.
inline bool Int(Cursor *c, uint64_t *out) {
  SkipWs(c);
  const char *p = c->p, *end = c->end;
  bool neg = p < end && *p == '-';
  if (neg) p++;
  if (p == end || *p < '0' || *p > '9') return false;
  uint64_t mag = 0;
  if (*p == '0') {
    p++;
    if (p < end && *p >= '0' && *p <= '9') return false;
  } else {
    const char *start = p;
    while (p < end && *p >= '0' && *p <= '9') mag = mag * 10 + (uint64_t)(*p++ - '0');
    if (p - start > 19) return false;  // 20 digits and more: beyond int64 (and may have wrapped)
  }
  if (p < end && (*p == '.' || *p == 'e' || *p == 'E')) return false;
  if (mag > (neg ? (uint64_t)1 << 63 : ((uint64_t)1 << 63) - 1)) return false;
  *out = neg ? 0 - mag : mag;
  c->p = p;
  return true;
}

inline int Hex(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

// The four hex digits after "\u" at p, or -1.
inline long Hex4(const char *p, const char *end) {
  if (end - p < 4) return -1;
  long v = 0;
  for (int i = 0; i < 4; i++) {
    int h = Hex(p[i]);
    if (h < 0) return -1;
    v = v * 16 + h;
  }
  return v;
}

void AppendUtf8(std::string *out, uint32_t cp) {
  char b[4];
  size_t n;
  if (cp < 0x80) {
    b[0] = (char)cp;
    n = 1;
  } else if (cp < 0x800) {
    b[0] = (char)(0xC0 | (cp >> 6));
    b[1] = (char)(0x80 | (cp & 0x3F));
    n = 2;
  } else if (cp < 0x10000) {
    b[0] = (char)(0xE0 | (cp >> 12));
    b[1] = (char)(0x80 | ((cp >> 6) & 0x3F));
    b[2] = (char)(0x80 | (cp & 0x3F));
    n = 3;
  } else {
    b[0] = (char)(0xF0 | (cp >> 18));
    b[1] = (char)(0x80 | ((cp >> 12) & 0x3F));
    b[2] = (char)(0x80 | ((cp >> 6) & 0x3F));
    b[3] = (char)(0x80 | (cp & 0x3F));
    n = 4;
  }
  out->append(b, n);
}

// Length of the well-formed UTF-8 sequence at p (shortest form, no
// surrogates, at most U+10FFFF), or 0.
inline size_t Utf8Len(const unsigned char *p, const unsigned char *end) {
  unsigned char b = p[0];
  size_t n;
  uint32_t cp;
  if (b >= 0xC2 && b <= 0xDF) {
    n = 2, cp = b & 0x1F;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 3, cp = b & 0x0F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 4, cp = b & 0x07;
  } else {
    return 0;
  }
  if ((size_t)(end - p) < n) return 0;
  for (size_t i = 1; i < n; i++) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    cp = cp << 6 | (p[i] & 0x3F);
  }
  if ((n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) || cp > 0x10FFFF ||
      (cp >= 0xD800 && cp <= 0xDFFF)) {
    return 0;
  }
  return n;
}

// A string value, decoded. No NUL may result (jansson refuses it by default).
bool Str(Cursor *c, std::string *out) {
  SkipWs(c);
  if (c->p == c->end || *c->p != '"') return false;
  const unsigned char *p = (const unsigned char *)c->p + 1, *end = (const unsigned char *)c->end;
  const unsigned char *run = p;
  out->clear();
  for (;;) {
    if (p == end) return false;
    unsigned char b = *p;
    if (b >= 0x20 && b < 0x80 && b != '"' && b != '\\') {
      p++;
    } else if (b == '"') {
      out->append((const char *)run, (size_t)(p - run));
      c->p = (const char *)p + 1;
      return true;
    } else if (b >= 0x80) {
      size_t n = Utf8Len(p, end);
      if (n == 0) return false;
      p += n;
    } else if (b == '\\') {
      out->append((const char *)run, (size_t)(p - run));
      if (end - p < 2) return false;
      char e = (char)p[1];
      p += 2;
      switch (e) {
        case '"':
          *out += '"';
          break;
        case '\\':
          *out += '\\';
          break;
        case '/':
          *out += '/';
          break;
        case 'b':
          *out += '\b';
          break;
        case 'f':
          *out += '\f';
          break;
        case 'n':
          *out += '\n';
          break;
        case 'r':
          *out += '\r';
          break;
        case 't':
          *out += '\t';
          break;
        case 'u': {
          long cp = Hex4((const char *)p, (const char *)end);
          if (cp <= 0 || (cp >= 0xDC00 && cp <= 0xDFFF)) return false;  // NUL or a lone low half
          p += 4;
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (end - p < 2 || p[0] != '\\' || p[1] != 'u') return false;
            long lo = Hex4((const char *)p + 2, (const char *)end);
            if (lo < 0xDC00 || lo > 0xDFFF) return false;
            p += 6;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
          }
          AppendUtf8(out, (uint32_t)cp);
          break;
        }
        default:
          return false;
      }
      run = p;
    } else {
      return false;  // control character
    }
  }
}

// [ "name", ... ]: the counter slot of each element (the metrics fields).
bool FieldSlots(Cursor *c, std::vector<int> *slots) {
  if (!Eat(c, '[')) return false;
  if (Eat(c, ']')) return true;
  std::string name;
  do {
    if (!Str(c, &name)) return false;
    int slot = -1;
    for (int k = 0; k < VTR_TOOL_COUNTERS && slot < 0; k++) {
      if (name == VTR_ToolCounterNames[k]) slot = k;
    }
    slots->push_back(slot);
  } while (Eat(c, ','));
  return Eat(c, ']');
}

// [ "text", ... ] with nothing taken from it (the change-rate field names).
bool StringArray(Cursor *c) {
  if (!Eat(c, '[')) return false;
  if (Eat(c, ']')) return true;
  std::string s;
  do {
    if (!Str(c, &s)) return false;
  } while (Eat(c, ','));
  return Eat(c, ']');
}

// One disk's value array: into the counters by slot, or into the rates when
// slots is null.
bool DiskValues(Cursor *c, const std::vector<int> *slots, VTR_DiskCounters *d) {
  if (!Eat(c, '[')) return false;
  if (Eat(c, ']')) return true;
  size_t n = 0;
  do {
    uint64_t u;
    if (!Int(c, &u)) return false;
    if (!slots) {
      d->rates.push_back(u);
    } else if (n < slots->size() && (*slots)[n] >= 0) {
      d->c[(*slots)[n]] = u;
    }
    n++;
  } while (Eat(c, ','));
  return Eat(c, ']');
}

bool Disk(Cursor *c, VTR_DocKind kind, const std::vector<int> *slots, VTR_DiskCounters *d) {
  if (!Eat(c, '{') || !Key(c, "\"vscsiDevName\"") || !Str(c, &d->name) || !Eat(c, ','))
    return false;
  if (kind == VTR_DOC_METRICS ? !Key(c, "\"ioCounters\"") : !Key(c, "\"changeRates\""))
    return false;
  return DiskValues(c, slots, d) && Eat(c, '}');
}

bool Vm(Cursor *c, VTR_DocKind kind, const std::vector<int> *slots, VTR_VmCounters *v) {
  uint64_t wg;
  if (!Eat(c, '{') || !Key(c, "\"vmName\"") || !Str(c, &v->name) || !Eat(c, ',') ||
      !Key(c, "\"uuid\"") || !Str(c, &v->uuid) || !Eat(c, ',') || !Key(c, "\"worldGroupId\"") ||
      !Int(c, &wg) || !Eat(c, ',') || !Key(c, "\"vmDisks\"") || !Eat(c, '[')) {
    return false;
  }
  v->worldGroupId = (uint32_t)wg;  // the daemon renders it signed
  if (!Eat(c, ']')) {
    do {
      v->disks.emplace_back();
      if (!Disk(c, kind, slots, &v->disks.back())) return false;
    } while (Eat(c, ','));
    if (!Eat(c, ']')) return false;
  }
  return Eat(c, '}');
}

// {"timeStamp":T,"vmWorldGroups":[...]}
bool DocValues(Cursor *c, VTR_DocKind kind, const std::vector<int> *slots, VTR_Doc *doc) {
  uint64_t ts;
  if (!Eat(c, '{') || !Key(c, "\"timeStamp\"") || !Int(c, &ts) || !Eat(c, ',') ||
      !Key(c, "\"vmWorldGroups\"") || !Eat(c, '[')) {
    return false;
  }
  doc->timeStamp = (int64_t)ts;
  if (!Eat(c, ']')) {
    do {
      doc->vms.emplace_back();
      if (!Vm(c, kind, slots, &doc->vms.back())) return false;
    } while (Eat(c, ','));
    if (!Eat(c, ']')) return false;
  }
  return Eat(c, '}');
}

}  // namespace

bool VTR_FastParseDoc(const char *text, size_t len, VTR_DocKind kind, VTR_Doc *out) {
  Cursor c{text, text + len};
  VTR_Doc doc{};
  std::vector<int> slots;
  bool ok;
  if (kind == VTR_DOC_METRICS) {
    ok = Eat(&c, '{') && Key(&c, "\"vethraMetrics\"") && Eat(&c, '{') &&
         Key(&c, "\"metricFields\"") && FieldSlots(&c, &slots) && Eat(&c, '}') && Eat(&c, ',') &&
         Key(&c, "\"metricValues\"");
    if (slots.empty()) slots.push_back(-1);  // no names: every value is ignored, none is a rate
    ok = ok && DocValues(&c, kind, &slots, &doc);
  } else {
    ok = Eat(&c, '{') && Key(&c, "\"vethraChangeRate\"") && Eat(&c, '{') &&
         Key(&c, "\"changeRateFields\"") && StringArray(&c) && Eat(&c, '}') && Eat(&c, ',') &&
         Key(&c, "\"changeRateValues\"") && DocValues(&c, kind, nullptr, &doc);
  }
  if (!ok || !Eat(&c, '}')) return false;
  SkipWs(&c);
  if (c.p != c.end) return false;
  *out = std::move(doc);
  return true;
}
