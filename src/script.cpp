// Upload script: the command file that a command-line FTP client runs to
// send the new bulletin to the gateway's incoming directory.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kelvane.h"

static const char script_filename[] = "command.txt";
static const char *const ftp_commands[4] = {"lcd .\n", "cd /data/talvex/data/\n", "pwd\n", "bye\n"};
static const char put_prefix[30] = "put ";
static const char dir_prefix[30] = "dir ";

// Where the script is written before it takes the place of command.txt:
// a name in the same folder that no bulletin can have.
static const char script_template[] = "command.txt.XXXXXX";

// A failed script leaves command.txt as it was: the new one is removed.
// e is the error number of the call that failed.
static int proc_script_failed(FILE *script, const char *temp_name, int e)
{
	if (script != nullptr)
		(void)fclose(script);
	if (temp_name != nullptr)
		(void)unlink(temp_name);
	printf("ERROR #12 - Unable to create ftp script file - %s.\n", script_filename);
	printf("%s%s: cannot write %s in %s\n", cause, proc_reason(e), script_filename,
	       proc_folder());
	return 1;
}

// Creates the new script exclusively under a fresh temporary name, with
// the permissions a newly created command.txt would have.
static FILE *proc_open_script(char *temp_name)
{
	int fd = mkstemp(temp_name);
	if (fd < 0)
		return nullptr;
	mode_t mask = umask(0);
	(void)umask(mask);
	FILE *script = fchmod(fd, 0666 & ~mask) == 0 ? fdopen(fd, "wb") : nullptr;
	if (script == nullptr) {
		int e = errno;
		(void)close(fd);
		(void)unlink(temp_name);
		errno = e;
	}
	return script;
}

// Writes command.txt naming talvex_filename; returns the exit status.
// The script is written whole to a temporary file and then renamed over
// command.txt, so that a job never finds half a script, and a link or FIFO
// named command.txt is replaced instead of written through. Every line,
// the sync, the close and the rename are checked.
int proc_ftp_script(void)
{
	printf("\nStart code to make ftp 'command.txt' script.\n");
	struct stat old_script = {};
	if (lstat(script_filename, &old_script) == 0 && S_ISDIR(old_script.st_mode))
		return proc_script_failed(nullptr, nullptr, EISDIR);
	char temp_name[sizeof script_template];
	memcpy(temp_name, script_template, sizeof temp_name);
	errno = 0;
	FILE *script = proc_open_script(temp_name);
	if (script == nullptr)
		return proc_script_failed(nullptr, nullptr, errno);
	printf("FTP script file opened for input - %s \n", script_filename);
	for (int i = 0; i < 3; i++) {
		if (fputs(ftp_commands[i], script) == EOF)
			return proc_script_failed(script, temp_name, errno);
	}
	// The put line, then the same line with "dir" over "put".
	char ftp_line[30];
	int named = snprintf(ftp_line, sizeof ftp_line, "%s%s\n", put_prefix, talvex_filename);
	if (named < 0 || named >= static_cast<int>(sizeof ftp_line))
		return proc_script_failed(script, temp_name, ENAMETOOLONG);
	if (fputs(ftp_line, script) == EOF)
		return proc_script_failed(script, temp_name, errno);
	memcpy(ftp_line, dir_prefix, 3);
	if (fputs(ftp_line, script) == EOF || fputs(ftp_commands[3], script) == EOF)
		return proc_script_failed(script, temp_name, errno);
	// The script is on disk before it takes the place of command.txt, and
	// the folder after, so that after a power cut command.txt is either the
	// earlier script or this one, naming a bulletin already on disk.
	if (fflush(script) != 0 || fsync(fileno(script)) != 0)
		return proc_script_failed(script, temp_name, errno);
	if (fclose(script) != 0 || rename(temp_name, script_filename) != 0)
		return proc_script_failed(nullptr, temp_name, errno);
	// The folder holds the names of the bulletin and the new command.txt.
	if (proc_sync_path(".") != 0)
		return proc_script_failed(nullptr, nullptr, errno);
	printf("FTP script file completed - %s \n", script_filename);
	printf("FTP script file created successfully.\n");
	return 0;
}
