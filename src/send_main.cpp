// kelvane-send: the entry point of the store-and-forward command.
#include <cstdio>

#include "send.h"

int main(int argc, char **argv)
{
	int status = kelvane_send_main(argc, argv);
	// The last line says what happened and what is queued: a log that did
	// not reach its destination fails the run.
	if (fflush(stdout) != 0 || ferror(stdout)) {
		fputs("kelvane-send: unable to write the log to standard output\n", stderr);
		return 1;
	}
	return status;
}
