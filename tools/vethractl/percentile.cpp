// Percentiles of an interval estimated from the deltas of a bucketed
// histogram (the daemon's latency and size histograms).
//
// Bucket b holds the values in (upper[b-1], upper[b]], bucket 0 those in
// [0, upper[0]]; the last bucket is open (upper bound 0). Within a bucket the
// values are taken as spread evenly, so the estimate interpolates linearly
// between the bucket's bounds at the rank q * total. A rank that falls into
// the open last bucket cannot be placed inside it: the estimate is then the
// bucket's lower bound, a floor of the true value.
#include "vethractl.h"

double VTR_HistogramPercentile(const uint64_t *counts, const uint64_t *upper, int buckets,
                               double q) {
  uint64_t total = 0;
  for (int b = 0; b < buckets; b++) total += counts[b];
  if (total == 0 || buckets <= 0) return -1;
  if (q < 0) q = 0;
  if (q > 1) q = 1;
  double rank = q * (double)total;
  uint64_t before = 0;
  for (int b = 0; b < buckets; b++) {
    if (counts[b] == 0) continue;
    double lo = b == 0 ? 0 : (double)upper[b - 1];
    bool last = b == buckets - 1 || upper[b] == 0;
    if (rank <= (double)(before + counts[b]) || last) {
      if (last) return lo;
      double hi = (double)upper[b];
      double fraction = (rank - (double)before) / (double)counts[b];
      if (fraction < 0) fraction = 0;
      return lo + fraction * (hi - lo);
    }
    before += counts[b];
  }
  return -1;
}
