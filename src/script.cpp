// Upload script: the command file that a command-line FTP client runs to
// send the new bulletin to the gateway's incoming directory.
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Opens command.txt for writing without emptying it: the new script goes
// over the old one, and the file is cut to length once written. Every
// script has the same size, so the file keeps its disk block instead of
// freeing it and taking a new one; on a file system that discards freed
// blocks that exchange costs more than all the rest of the script.
static FILE *proc_open_script(void)
{
	int fd = open(script_filename, O_WRONLY | O_CREAT, 0666);
	if (fd < 0)
		return nullptr;
	FILE *script = fdopen(fd, "wb");
	if (script == nullptr)
		(void)close(fd);
	return script;
}

// Cuts the script to what was written, when the old one was longer.
static int proc_trim_script(FILE *script)
{
	struct stat script_stat = {};
	long written = ftell(script);
	if (written < 0 || fstat(fileno(script), &script_stat) != 0)
		return 1;
	if (script_stat.st_size > written && ftruncate(fileno(script), written) != 0)
		return 1;
	return 0;
}

// Writes command.txt naming talvex_filename; returns the exit status.
// Every line and the close are checked: a script cut short would send
// nothing while the run looked complete.
int proc_ftp_script(void)
{
	printf("\nStart code to make ftp 'command.txt' script.\n");
	FILE *script = proc_open_script();
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
	    fflush(script) != 0 || proc_trim_script(script) != 0)
		return proc_script_failed(script);
	printf("FTP script file completed - %s \n", script_filename);
	if (fclose(script) != 0) {
		(void)remove(script_filename);
		return proc_script_failed(nullptr);
	}
	printf("FTP script file created successfully.\n");
	return 0;
}
