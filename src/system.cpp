// What both programs need of the system: the C library's text for an
// error number, the current folder's name, syncing a path to disk, and
// the standard descriptors. It needs nothing else of the project.
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include "system.h"

// The current folder, for the cause lines that name it.
const char *proc_folder(void)
{
	static char folder[4096];
	if (getcwd(folder, sizeof folder) == nullptr)
		return ".";
	return folder;
}

// The C library's text for an error number; 0 means the call failed
// without saying why.
const char *proc_reason(int e)
{
	return e != 0 ? strerror(e) : "the call failed without an error number";
}

// Syncs a file or folder to disk: for a folder, the names in it. A file
// system that cannot sync a folder (EINVAL) is not an error. Returns 0, or
// 1 with the error number in errno. A link is not followed.
int proc_sync_path(const char *path)
{
	int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
	if (fd < 0)
		return 1;
	bool failed = fsync(fd) != 0 && errno != EINVAL;
	int e = errno;
	if (close(fd) != 0)
		return 1;
	errno = e;
	return failed ? 1 : 0;
}

// Opens /dev/null on any of descriptors 0, 1 and 2 that is closed, so that
// no file the run creates can take its place and receive the console log.
// Standard input is opened write-only and the outputs read-only, so that
// using them fails and a console log that cannot be written is noticed.
int proc_standard_descriptors(void)
{
	for (int fd = 0; fd <= 2; fd++) {
		if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
			continue;
		int opened = open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
		if (opened != fd) {
			if (opened >= 0)
				(void)close(opened);
			return 1;
		}
	}
	return 0;
}

// Lists the folder open as fd from its start, through a descriptor of its
// own, so that closing the listing leaves fd open. Returns the listing, or
// nullptr with errno.
DIR *proc_list_folder(int fd)
{
	int listed = fd < 0 ? -1 : fcntl(fd, F_DUPFD_CLOEXEC, 0);
	DIR *dir = listed < 0 ? nullptr : fdopendir(listed);
	if (dir == nullptr) {
		int e = fd < 0 ? EBADF : errno;
		if (listed >= 0)
			(void)close(listed);
		errno = e;
		return nullptr;
	}
	rewinddir(dir);
	return dir;
}
