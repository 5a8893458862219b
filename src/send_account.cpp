// The account kelvane-send runs as. Started by root (the system units of
// a folder, root's cron, root by hand) in a folder of another account, it
// becomes that account, the one that sends, before it reads anything in
// the folder: its supplementary groups, group and user, for good, and
// that account's HOME, where ssh finds its key and known_hosts and curl
// its .netrc. So one unit serves every folder, and nothing root-owned is
// ever left in a folder. In root's own folder it stays root.
#include <cerrno>
#include <cstdlib>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "send.h"

int proc_leave_root(std::string *why)
{
	if (geteuid() != 0)
		return 0;
	const std::string folder = proc_folder();
	struct stat st = {};
	if (stat(".", &st) != 0) {
		*why = "cannot examine " + folder + " (" + proc_reason(errno) + ")";
		return 1;
	}
	if (st.st_uid == 0)
		return 0;
	errno = 0;
	const struct passwd *pw = getpwuid(st.st_uid);
	if (pw == nullptr) {
		*why = folder + " belongs to uid " + std::to_string(st.st_uid) +
		       ", which is no account" +
		       (errno != 0 ? std::string(" (") + proc_reason(errno) + ")" : "") +
		       ": kelvane-send sends as the folder's owner, not as root";
		return 1;
	}
	const std::string name = pw->pw_name;
	const std::string home = pw->pw_dir;
	const gid_t gid = pw->pw_gid;
	if (initgroups(name.c_str(), gid) != 0 || setgid(gid) != 0 || setuid(st.st_uid) != 0) {
		*why = "cannot become " + name + ", the owner of " + folder + " (" +
		       proc_reason(errno) + ")";
		return 1;
	}
	// Root must be gone for good: a way back would be a way back for the
	// clients too.
	if (setuid(0) == 0 || geteuid() != st.st_uid || getegid() != gid) {
		*why = "still root after becoming " + name + "; nothing done as root";
		return 1;
	}
	if (setenv("HOME", home.c_str(), 1) != 0 || setenv("USER", name.c_str(), 1) != 0 ||
	    setenv("LOGNAME", name.c_str(), 1) != 0) {
		*why = "cannot set HOME for " + name + " (" + proc_reason(errno) + ")";
		return 1;
	}
	return 0;
}
