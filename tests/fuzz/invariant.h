// What the fuzz targets do when a property they check does not hold: name it
// and abort, so libFuzzer keeps the input as a crash.
#pragma once
#include <cstdio>
#include <cstdlib>

inline void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}
