// What a call may leave at the gateway: the dot name of an upload that
// failed or was killed, and those of a probe. Before a client starts, the
// names it may leave are written into the send's lock after the pid, and
// each call first removes those an earlier call or run left, so that a
// run killed at any point leaves its dot files only until the next run.
// Only names of the forms kelvane-send gives are read back, so that no
// other file at the gateway is ever removed.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "send.h"

std::vector<std::string> litter;

std::string proc_dot_name(const std::string &bulletin)
{
	return "." + bulletin + "." + std::to_string(getpid());
}

// The probe's name: the refused bulletin's keeps it apart from any other
// host's run of the same pid, since two seats never make one name.
std::string proc_probe_name(const std::string &bulletin)
{
	return ".kelvane-send-probe." + bulletin + "." + std::to_string(getpid());
}

// Whether name is a dot name of those forms: .BULLETIN.PID, or
// .kelvane-send-probe.BULLETIN.PID with maybe .renamed after it.
static bool proc_is_dot_name(const std::string &name)
{
	static const char probe[] = ".kelvane-send-probe.";
	static const char renamed[] = ".renamed";
	const size_t bulletin_size = 14; // BRAX_DD.HHMMSS
	bool is_probe = name.compare(0, sizeof probe - 1, probe) == 0;
	size_t at = is_probe ? sizeof probe - 1 : 1;
	if (name.empty() || name[0] != '.' || name.size() < at + bulletin_size + 2 ||
	    !proc_is_bulletin_name(name.substr(at, bulletin_size)) ||
	    name[at + bulletin_size] != '.')
		return false;
	std::string pid = name.substr(at + bulletin_size + 1);
	if (is_probe && pid.size() > sizeof renamed - 1 &&
	    pid.compare(pid.size() - (sizeof renamed - 1), std::string::npos, renamed) == 0)
		pid.resize(pid.size() - (sizeof renamed - 1));
	return !pid.empty() && pid.size() <= 10 &&
	       pid.find_first_not_of("0123456789") == std::string::npos;
}

// Reads back the names the last run that sent left in the lock, from
// what the lock held when this run took it (taking it writes this run's
// pid over them): text, the pid's line first.
void proc_read_litter(const std::string &text)
{
	const std::string &lines = text;
	size_t at = lines.find('\n'); // past the pid
	while (at != std::string::npos && at + 1 < lines.size()) {
		size_t end = lines.find('\n', at + 1);
		if (end == std::string::npos)
			break; // a line cut short
		std::string name = lines.substr(at + 1, end - at - 1);
		if (proc_is_dot_name(name))
			proc_add_litter({name});
		at = end;
	}
}

// Writes the pid and the names into the send's lock; a failure only
// means that a killed run's dot files may stay.
static void proc_write_litter(void)
{
	if (send_lock < 0)
		return;
	std::string text = std::to_string(getpid()) + "\n";
	for (const std::string &name : litter)
		text += name + "\n";
	// Written over the old names, then cut to its length: a kill between
	// the two leaves names, never none.
	if (pwrite(send_lock, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()) ||
	    ftruncate(send_lock, static_cast<off_t>(text.size())) != 0)
		proc_say(std::string("cannot write the dot names of this send into its lock (") +
		         proc_reason(errno) + "): a killed send may leave them at the gateway");
}

void proc_add_litter(const std::vector<std::string> &names)
{
	for (const std::string &name : names) {
		if (std::find(litter.begin(), litter.end(), name) == litter.end())
			litter.push_back(name);
	}
	proc_write_litter();
}

void proc_remove_litter(const std::vector<std::string> &names)
{
	litter.erase(std::remove_if(litter.begin(), litter.end(),
	                            [&names](const std::string &l) {
		                            return std::find(names.begin(), names.end(), l) !=
		                                   names.end();
	                            }),
	             litter.end());
	proc_write_litter();
}

// A memory file holding a probe's few bytes, at its start, that a child
// inherits; -1 with errno.
int proc_probe_file(void)
{
	static const char text[] = "kelvane-send probe: taken only to be removed\n";
	int fd = memfd_create("kelvane-send-probe", 0);
	if (fd < 0)
		return -1;
	if (write(fd, text, sizeof text - 1) != static_cast<ssize_t>(sizeof text - 1) ||
	    lseek(fd, 0, SEEK_SET) != 0) {
		(void)close(fd);
		return -1;
	}
	return fd;
}
