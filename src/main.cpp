// kelvane OPTION FILE: the program's entry point.
#include <cstdio>

#include "kelvane.h"

int main(int argc, char **argv)
{
	int status = kelvane_main(argc, argv);
	// The console log is the operator's record of the run: a log that did
	// not reach its destination fails the run.
	if (fflush(stdout) != 0 || ferror(stdout)) {
		fputs("kelvane: unable to write the console log to standard output\n", stderr);
		return 1;
	}
	return status;
}
