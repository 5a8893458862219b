// kelvane-send: the entry point of the store-and-forward command.
#include <cstdio>

#include "send.h"

int main(int argc, char **argv)
{
	int status = kelvane_send_main(argc, argv);
	// The status is the delivery's: a log that could not be written (a full
	// disk under the cron log) is said on standard error, but what was
	// delivered stays delivered. A conversion whose console could not be
	// written has already failed, as kelvane fails.
	if (fflush(stdout) != 0 || ferror(stdout))
		fputs("kelvane-send: unable to write the log to standard output\n", stderr);
	return status;
}
