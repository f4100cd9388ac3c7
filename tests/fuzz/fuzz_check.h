// A broken property aborts, so libFuzzer keeps the input as a crash.
#pragma once
#include <cstdio>
#include <cstdlib>

inline void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}
