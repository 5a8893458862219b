// Upload script: the command file that a command-line FTP client runs to
// send the new bulletin to the gateway's incoming directory.
#include <cstring>

#include "kelvane.h"

static const char script_filename[] = "command.txt";
static const char *const ftp_commands[4] = {"lcd .\n", "cd /data/talvex/data/\n", "pwd\n", "bye\n"};
static const char put_prefix[30] = "put ";
static const char dir_prefix[30] = "dir ";

// A script cut short must not be left for a job to run: it is removed.
static int proc_script_failed(FILE *script)
{
	if (script != nullptr) {
		(void)fclose(script);
		(void)remove(script_filename);
	}
	printf("ERROR #12 - Unable to create ftp script file - %s.\n", script_filename);
	return 1;
}

// Writes command.txt naming talvex_filename; returns the exit status.
// Every line and the close are checked: a script cut short would send
// nothing while the run looked complete.
int proc_ftp_script(void)
{
	printf("\nStart code to make ftp 'command.txt' script.\n");
	FILE *script = fopen(script_filename, "wb");
	if (script == nullptr)
		return proc_script_failed(nullptr);
	printf("FTP script file opened for input - %s \n", script_filename);
	for (int i = 0; i < 3; i++) {
		if (fputs(ftp_commands[i], script) == EOF)
			return proc_script_failed(script);
	}
	// The put line, then the same line with "dir" over "put".
	char ftp_line[30];
	int named = snprintf(ftp_line, sizeof ftp_line, "%s%s\n", put_prefix, talvex_filename);
	if (named < 0 || named >= static_cast<int>(sizeof ftp_line) ||
	    fputs(ftp_line, script) == EOF)
		return proc_script_failed(script);
	memcpy(ftp_line, dir_prefix, 3);
	if (fputs(ftp_line, script) == EOF || fputs(ftp_commands[3], script) == EOF ||
	    fflush(script) != 0)
		return proc_script_failed(script);
	printf("FTP script file completed - %s \n", script_filename);
	if (fclose(script) != 0) {
		(void)remove(script_filename);
		return proc_script_failed(nullptr);
	}
	printf("FTP script file created successfully.\n");
	return 0;
}
