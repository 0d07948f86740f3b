// The fuzz targets' property check: a failed one names itself and aborts,
// which libFuzzer and the replay program both report as a crash.
#ifndef TUVOLINK_FUZZ_FUZZ_CHECK_H_
#define TUVOLINK_FUZZ_FUZZ_CHECK_H_

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                      \
  do {                                                                                             \
    if (!(condition)) {                                                                            \
      std::fprintf(stderr, "%s:%d: property does not hold: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                                \
    }                                                                                              \
  } while (0)

#endif  // TUVOLINK_FUZZ_FUZZ_CHECK_H_
