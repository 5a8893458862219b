// What both programs need of the system (system.cpp).
#ifndef KELVANE_SYSTEM_H
#define KELVANE_SYSTEM_H

#include <dirent.h>

// The C library's text for an error number; 0 gives a text that says the
// call failed without one.
const char *proc_reason(int e);
// The current folder, for lines that name it.
const char *proc_folder(void);
// Syncs a file or folder (the names in it) to disk: 0, or 1 with errno.
int proc_sync_path(const char *path);
// Opens /dev/null on a closed descriptor 0, 1 or 2: 0, or 1.
int proc_standard_descriptors(void);
// Lists the folder open as fd from its start; fd stays open after
// closedir. nullptr with errno.
DIR *proc_list_folder(int fd);

#endif
