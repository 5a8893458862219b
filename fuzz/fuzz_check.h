// Invariant checks for the fuzz targets: a broken one names itself and
// aborts, which libFuzzer reports with the input that broke it.
#ifndef FUZZ_CHECK_H
#define FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>

#define CHECK(condition)                                                                           \
	do {                                                                                       \
		if (!(condition)) {                                                                \
			fprintf(stderr, "%s:%d: broken: %s\n", __FILE__, __LINE__, #condition);    \
			abort();                                                                   \
		}                                                                                  \
	} while (0)

#endif
