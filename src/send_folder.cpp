// The folder kelvane-send works in: a forecaster's own, or an office's
// that a group shares (set-group-id, sticky, group-writable, mode 3770),
// whose owner is the account that sends. kelvane-send.conf there names
// the gateway and the folder's seat among the hosts that send to it; it
// is trusted only when its owner is the folder's and nobody else may
// write it, because its words decide what the sender runs. A member may
// still create any name not yet taken, so the folder is opened once and
// everything in it is opened from that descriptor, without following
// links, and checked after it is opened: a subfolder, a lock, the log or
// the conf that is a link or not the sender's is refused, never used.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kelvane.h"
#include "send.h"

static const char conf_name[] = "kelvane-send.conf";
constexpr int max_seats = 60;
// How long a run waits for another's conversion, in seconds.
constexpr long max_convert_wait = 120;
// How many seconds from the clock a seat looks for a name not yet used.
constexpr long max_seat_search = 3600;
// The most of the send's lock read back: its pid and dot names.
constexpr size_t max_lock_text = 1 << 20;

bool office;
uid_t folder_owner;
gid_t folder_group;
std::string owner_name;
int folder_fd = -1;
std::vector<std::string> conf_gateway;
int seat = 1;
int seats = 1;
int send_lock = -1;
std::string lock_before;

// An account's name, or its number where it has none.
std::string proc_account(uid_t uid)
{
	const struct passwd *pw = getpwuid(uid);
	return pw != nullptr ? pw->pw_name : std::to_string(uid);
}

std::string proc_group_name(gid_t gid)
{
	const struct group *gr = getgrgid(gid);
	return gr != nullptr ? gr->gr_name : std::to_string(gid);
}

// The words of a value, as the unit's EnvironmentFile read them before:
// separated by blanks, the whole value maybe in quotes.
static std::vector<std::string> proc_words(std::string value)
{
	if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
		value = value.substr(1, value.size() - 2);
	std::vector<std::string> words;
	size_t at = 0;
	while ((at = value.find_first_not_of(" \t", at)) != std::string::npos) {
		size_t end = value.find_first_of(" \t", at);
		words.push_back(value.substr(at, end - at));
		at = end;
	}
	return words;
}

// KELVANE_SEND_SEAT=K/N: seat K of N hosts, 1 <= K <= N <= 60.
static bool proc_parse_seat(const std::string &value)
{
	size_t slash = value.find('/');
	if (slash == std::string::npos || slash == 0 || slash + 1 == value.size() || slash > 2 ||
	    value.size() - slash > 3 ||
	    value.find_first_not_of("0123456789/") != std::string::npos ||
	    value.find('/', slash + 1) != std::string::npos)
		return false;
	int k = std::stoi(value.substr(0, slash));
	int n = std::stoi(value.substr(slash + 1));
	if (n < 1 || n > max_seats || k < 1 || k > n)
		return false;
	seat = k;
	seats = n;
	return true;
}

// KELVANE_SEND_KEEP_DAYS=DAYS: how long the archive keeps a month, 33 to
// 36500 days (a hundred years).
static bool proc_parse_keep(const std::string &value)
{
	if (value.empty() || value.size() > 5 ||
	    value.find_first_not_of("0123456789") != std::string::npos)
		return false;
	long days = std::stol(value);
	if (days <= name_reuse_days || days > 36500)
		return false;
	keep_days = days;
	return true;
}

// Reads the trusted conf: blank lines and # comments, and the three
// settings. Anything else is refused, so that a misspelt seat never
// falls back to 1/1.
static int proc_parse_conf(const std::string &text, std::string *why)
{
	size_t start = 0;
	for (int number = 1; start < text.size(); number++) {
		size_t end = text.find('\n', start);
		std::string line = text.substr(start, end - start);
		start = end == std::string::npos ? text.size() : end + 1;
		size_t first = line.find_first_not_of(" \t\r");
		if (first == std::string::npos || line[first] == '#')
			continue;
		line = line.substr(first, line.find_last_not_of(" \t\r") + 1 - first);
		size_t equals = line.find('=');
		std::string key = line.substr(0, equals);
		std::string value = equals == std::string::npos ? "" : line.substr(equals + 1);
		if (key == "KELVANE_SEND_GATEWAY" && equals != std::string::npos)
			conf_gateway = proc_words(value);
		else if ((key == "KELVANE_SEND_SEAT" && proc_parse_seat(value)) ||
		         (key == "KELVANE_SEND_KEEP_DAYS" && proc_parse_keep(value)))
			continue;
		else {
			*why = std::string(conf_name) + " line " + std::to_string(number) + " (" +
			       proc_escape(line) +
			       ") is not KELVANE_SEND_GATEWAY=WORDS, KELVANE_SEND_SEAT=K/N "
			       "(1 <= K <= N <= 60) or KELVANE_SEND_KEEP_DAYS=DAYS (33 to 36500)";
			return 1;
		}
	}
	return 0;
}

// Reads kelvane-send.conf where it is trusted: a regular file of the
// folder's owner that nobody else may write, opened without following a
// link and checked as opened.
static int proc_read_conf(std::string *why)
{
	const std::string folder = proc_folder();
	const std::string named = folder + "/" + conf_name;
	int fd = openat(folder_fd, conf_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0 && errno == ENOENT) {
		if (!office)
			return 0;
		*why = folder + " is shared by group " + proc_group_name(folder_group) +
		       ", so it needs a " + conf_name + " of " + owner_name +
		       "'s with mode 640 (the gateway and KELVANE_SEND_SEAT)";
		return 1;
	}
	// A link, or a file of another account's this one may not even read,
	// is untrusted rather than unreadable.
	if (fd < 0 && errno != ELOOP && errno != EACCES) {
		*why = "cannot read " + named + " (" + proc_reason(errno) + ")";
		return 1;
	}
	struct stat st = {};
	if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != folder_owner ||
	    (st.st_mode & 022) != 0) {
		if (fd >= 0)
			(void)close(fd);
		*why = named + " is not trusted: it must be a regular file of " + owner_name +
		       "'s, the folder's owner, that nobody else may write (chmod " +
		       (office ? "640" : "600") + ")";
		return 1;
	}
	std::string text;
	char chunk[4096];
	ssize_t got = 0;
	while (text.size() < 65536 && (got = read(fd, chunk, sizeof chunk)) > 0)
		text.append(chunk, static_cast<size_t>(got));
	int e = errno;
	(void)close(fd);
	if (got < 0) {
		*why = "cannot read " + named + " (" + proc_reason(e) + ")";
		return 1;
	}
	return proc_parse_conf(text, why);
}

// Looks at the folder and reads its conf. Returns 0, or 1 with why.
int proc_open_folder(std::string *why)
{
	const std::string folder = proc_folder();
	struct stat st = {};
	folder_fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (folder_fd < 0 || fstat(folder_fd, &st) != 0) {
		*why = "cannot examine " + folder + " (" + proc_reason(errno) + ")";
		return 1;
	}
	folder_owner = st.st_uid;
	folder_group = st.st_gid;
	owner_name = proc_account(folder_owner);
	office = (st.st_mode & S_IWGRP) != 0;
	if ((st.st_mode & S_IWOTH) != 0) {
		*why = folder + " may be written by anybody: chmod 700 it, or 3770 for a group";
		return 1;
	}
	// Sticky, so that no member renames, replaces or removes a name that
	// is not hers: the sender's subfolders, log, locks and conf, another
	// member's bulletin.
	if (office && (st.st_mode & (S_ISGID | S_ISVTX)) != (S_ISGID | S_ISVTX)) {
		*why = folder + " is shared by group " + proc_group_name(folder_group) +
		       " but is not set-group-id and sticky: chmod 3770 it";
		return 1;
	}
	// What an office run writes the group may read, but only its owner
	// write: no member can change another's bulletin, whatever her umask.
	if (office)
		(void)umask(027);
	return proc_read_conf(why);
}

// Whether this run is the sending account's: the folder's owner.
bool proc_is_sender(void)
{
	return geteuid() == folder_owner;
}

// Whether uid is the sending account or a member of the folder's group.
bool proc_is_member(uid_t uid)
{
	if (uid == folder_owner)
		return true;
	const struct passwd *pw = getpwuid(uid);
	if (pw == nullptr)
		return false;
	if (pw->pw_gid == folder_group)
		return true;
	const std::string name = pw->pw_name;
	const struct group *gr = getgrgid(folder_group);
	for (char *const *m = gr != nullptr ? gr->gr_mem : nullptr; m != nullptr && *m != nullptr;
	     m++) {
		if (name == *m)
			return true;
	}
	return false;
}

// The mode each subfolder has when kelvane-send makes it: drop/ takes the
// bulletins handed over (in an office sticky and group-writable without
// read, so that a member creates files there but cannot list, rename or
// remove another's, and set-group-id, so that what she drops is the
// group's, which the sender may read); outbox/ and held/ are the
// sender's alone, readable by the group.
static mode_t proc_subfolder_mode(const char *name)
{
	if (strcmp(name, "drop") == 0)
		return office ? 03730 : 0700;
	return office ? 02750 : 0700;
}

// Whether an opened subfolder is fit: the sender's, and writable by
// nobody else but, for an office's drop/, its group under the sticky bit.
static bool proc_subfolder_fit(const char *name, const struct stat &st)
{
	if (!S_ISDIR(st.st_mode) || st.st_uid != folder_owner || (st.st_mode & S_IWOTH) != 0)
		return false;
	if (strcmp(name, "drop") == 0 && office)
		return st.st_gid == folder_group &&
		       (st.st_mode & (S_ISVTX | S_ISGID)) == (S_ISVTX | S_ISGID);
	return (st.st_mode & S_IWGRP) == 0;
}

static int proc_unfit(const char *name, std::string *why)
{
	char mode[8];
	snprintf(mode, sizeof mode, "%o", static_cast<unsigned>(proc_subfolder_mode(name)));
	*why = std::string(proc_folder()) + "/" + name + " is not fit for the queue: it must be " +
	       "a folder of " + owner_name + "'s, not a link, with mode " + mode +
	       (office ? " and group " + proc_group_name(folder_group) : std::string()) +
	       " (move it away: kelvane-send makes it)";
	return 1;
}

// Opens a subfolder from the folder, without following a link. A member
// may not read drop/, only create files in it: a path descriptor serves
// her there. Returns the descriptor, or -1 with errno.
static int proc_open_subfolder(const char *name)
{
	const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
	int fd = openat(folder_fd, name, flags);
	if (fd < 0 && errno == EACCES && strcmp(name, "drop") == 0)
		fd = openat(folder_fd, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
	return fd;
}

// Makes a missing subfolder with its mode, synced. Returns the
// descriptor, or -1 with errno.
static int proc_make_subfolder(const char *name)
{
	if (mkdirat(folder_fd, name, 0700) != 0 && errno != EEXIST)
		return -1;
	int fd = proc_open_subfolder(name);
	if (fd >= 0 && (fchmod(fd, proc_subfolder_mode(name)) != 0 || fsync(fd) != 0 ||
	                fsync(folder_fd) != 0)) {
		int e = errno;
		(void)close(fd);
		errno = e;
		return -1;
	}
	return fd;
}

// Opens drop/, outbox/ or held/ into fd; with make, the sender makes one
// that is missing. What is a link, or not the sender's, is unfit, even
// where this account may not read it. Returns 0, or 1 with why; without
// make, a missing one is fd -1.
int proc_subfolder(const char *name, bool make, int *fd, std::string *why)
{
	*fd = proc_open_subfolder(name);
	if (*fd < 0 && errno == ENOENT && make && proc_is_sender())
		*fd = proc_make_subfolder(name);
	int e = errno;
	struct stat st = {};
	if (*fd < 0 && e == ENOENT && !make)
		return 0;
	if (*fd < 0 && e == EACCES && fstatat(folder_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
	    st.st_uid != folder_owner)
		return proc_unfit(name, why);
	if (*fd < 0 && e != ELOOP && e != ENOTDIR) {
		*why = "cannot " + std::string(e == ENOENT ? "make " : "read ") + proc_folder() +
		       "/" + name + " (" + proc_reason(e) + ")";
		return 1;
	}
	if (*fd < 0 || fstat(*fd, &st) != 0 || !proc_subfolder_fit(name, st)) {
		if (*fd >= 0)
			(void)close(*fd);
		*fd = -1;
		return proc_unfit(name, why);
	}
	return 0;
}

// In an office, the sending account makes the folder's own files before
// any member could: a member's file in their place, which the sticky
// folder would not let the sender replace, stops every run. Each is made
// only where missing: the conversions' lock and the log readable by the
// group, the send's lock the sender's alone, the record of names
// writable by the group, for every member's conversion records there.
void proc_make_folder_files(void)
{
	struct File {
		const char *name;
		mode_t mode;
	};
	static const File files[] = {{"kelvane-send.lock", 0640},
	                             {"kelvane-send.send.lock", 0600},
	                             {"delivered.log", 0640},
	                             {"kelvane.names", 0660}};
	if (!office || !proc_is_sender())
		return;
	bool made = false;
	for (const File &file : files) {
		int fd = openat(folder_fd, file.name,
		                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
		if (fd < 0)
			continue;
		(void)fchmod(fd, file.mode);
		(void)fsync(fd);
		(void)close(fd);
		made = true;
	}
	if (made)
		(void)fsync(folder_fd);
}

// Opens the lock name in the folder without following a link: the
// conversions' lock, which any member takes (read-only where another
// member made it), or the send's, which must be the sender's own.
static int proc_open_lock(const char *name, bool sending, int *fd, std::string *why)
{
	const int flags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
	*fd = openat(folder_fd, name, O_RDWR | O_CREAT | flags, 0666);
	if (*fd < 0 && errno == EACCES && !sending)
		*fd = openat(folder_fd, name, O_RDONLY | flags);
	struct stat st = {};
	if (*fd < 0 || fstat(*fd, &st) != 0) {
		*why = "cannot open the lock " + std::string(name) + " in " + proc_folder() + " (" +
		       proc_reason(errno) + ")";
		return 1;
	}
	if (!S_ISREG(st.st_mode) || (sending && st.st_uid != folder_owner)) {
		*why = std::string(proc_folder()) + "/" + name + " is not a lock of " + owner_name +
		       "'s: move it away";
		return 1;
	}
	// Nobody else may open the send's lock, and so hold it.
	if (sending && (st.st_mode & 077) != 0 && fchmod(*fd, 0600) != 0) {
		*why = "cannot keep others from " + std::string(proc_folder()) + "/" + name + " (" +
		       proc_reason(errno) + ")";
		return 1;
	}
	return 0;
}

// Waits for the lock: the send's as long as the send in progress lasts,
// the conversions' for max_convert_wait seconds at most, since a
// conversion takes a fraction of a second. Returns 0, or 1 with errno.
static int proc_wait_lock(int fd, bool sending)
{
	for (long tries = 0; tries < max_convert_wait * 10 || sending; tries++) {
		if (flock(fd, sending ? LOCK_EX : LOCK_EX | LOCK_NB) == 0)
			return 0;
		if (errno != EINTR && errno != EWOULDBLOCK)
			return 1;
		struct timespec tenth = {0, 100000000L};
		if (!sending)
			(void)nanosleep(&tenth, nullptr);
	}
	errno = EWOULDBLOCK;
	return 1;
}

// Takes the lock name, exclusively: the conversions' or, with sending,
// the send's, which then holds the pid of the run that sends, for the
// runs that wait for it. The lock is held until the descriptor is closed,
// by this run and by the children it gives it to.
int proc_lock(const char *name, bool sending, int *fd, std::string *why)
{
	if (proc_open_lock(name, sending, fd, why) != 0)
		return 1;
	if (flock(*fd, LOCK_EX | LOCK_NB) != 0) {
		char pid[24] = "";
		ssize_t got = sending ? pread(*fd, pid, sizeof pid - 1, 0) : 0;
		pid[got > 0 ? strcspn(pid, "\n") : 0] = '\0';
		proc_say(sending ? std::string("waiting for the send in progress (pid ") +
		                           (pid[0] != '\0' ? proc_escape(pid) : "unknown") + ")"
		                 : "waiting for the conversion in progress");
		fflush(stdout);
		if (proc_wait_lock(*fd, sending) != 0) {
			*why = errno == EWOULDBLOCK
			               ? "another run has held the lock " + std::string(name) +
			                         " for " + std::to_string(max_convert_wait) + " s"
			               : "cannot take the lock " + std::string(name) + " (" +
			                         proc_reason(errno) + ")";
			return 1;
		}
	}
	if (sending) {
		// The dot names a killed send left there, read before the pid
		// goes over them.
		lock_before.assign(max_lock_text, '\0');
		ssize_t got = pread(*fd, lock_before.data(), lock_before.size(), 0);
		lock_before.resize(got > 0 ? static_cast<size_t>(got) : 0);
		std::string pid = std::to_string(getpid()) + "\n";
		if (ftruncate(*fd, 0) != 0 ||
		    pwrite(*fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
			*why = "cannot write the lock " + std::string(name) + " (" +
			       proc_reason(errno) + ")";
			return 1;
		}
	}
	return 0;
}

// The first second from the clock reading from on whose seconds S give
// S mod N = K - 1 and whose bulletin name this folder has not used: no
// file has it and the record of names has not had it for 32 days. A
// record that cannot be read is left to kelvane, which then says why.
long proc_seat_second(long from)
{
	if (proc_names_read() != 0)
		proc_say(std::string("cannot read kelvane.names (") + proc_reason(errno) + ")");
	// An hour of taken names (files a member made in the folder, say)
	// ends the search: kelvane then tries the clock's own second, and
	// says why it cannot name the bulletin.
	for (long t = from; t < from + max_seat_search; t++) {
		if ((t % 60) % seats != seat - 1)
			continue;
		// The name kelvane would give a bulletin of that second.
		proc_set_clock(t);
		proc_talvex_filename();
		struct stat st = {};
		if (!proc_name_used(talvex_filename, t) &&
		    fstatat(folder_fd >= 0 ? folder_fd : AT_FDCWD, talvex_filename, &st,
		            AT_SYMLINK_NOFOLLOW) != 0 &&
		    errno == ENOENT)
			return t;
	}
	return from;
}

// Waits for the start of the folder's next second, so that kelvane names
// the bulletin in this seat's class of seconds: two seats then never make
// one name, whatever their clocks say. The current second serves while
// most of it is left.
void proc_wait_seat(void)
{
	if (seats == 1)
		return;
	struct timespec now = {};
	(void)clock_gettime(CLOCK_REALTIME, &now);
	long from = now.tv_nsec < 200000000L ? now.tv_sec : now.tv_sec + 1;
	long target = proc_seat_second(from);
	if (target == now.tv_sec)
		return;
	// Until 2 ms into the target second.
	long long wait = (target - now.tv_sec) * 1000000000LL - now.tv_nsec + 2000000LL;
	char line[96];
	snprintf(line, sizeof line, "seat %d/%d: waiting %lld.%lld s for a second of its own", seat,
	         seats, wait / 1000000000LL, wait % 1000000000LL / 100000000LL);
	proc_say(line);
	fflush(stdout);
	struct timespec rest = {static_cast<time_t>(wait / 1000000000LL),
	                        static_cast<long>(wait % 1000000000LL)};
	while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
	}
}

// The instance name systemd-escape --path gives the folder.
static std::string proc_instance(const std::string &folder)
{
	std::string instance;
	for (size_t i = 1; i < folder.size(); i++) {
		unsigned char c = static_cast<unsigned char>(folder[i]);
		if (c == '/')
			instance += '-';
		else if (isalnum(c) || c == '_' || c == ':' || (c == '.' && folder[i - 1] != '/')) {
			instance += static_cast<char>(c);
		} else {
			char hex[8];
			snprintf(hex, sizeof hex, "\\x%02x", c);
			instance += hex;
		}
	}
	return instance.empty() ? "-" : instance;
}

// Whether a timer is enabled for this folder: the system's, or the
// user's of the account that runs.
static bool proc_timer_enabled(void)
{
	const std::string timer =
	        "/timers.target.wants/kelvane-send@" + proc_instance(proc_folder()) + ".timer";
	const char *config = getenv("XDG_CONFIG_HOME");
	const char *home = getenv("HOME");
	std::string base = config != nullptr && config[0] == '/'
	                           ? config
	                           : std::string(home != nullptr ? home : "") + "/.config";
	struct stat st = {};
	return lstat(("/etc/systemd/system" + timer).c_str(), &st) == 0 ||
	       lstat((base + "/systemd/user" + timer).c_str(), &st) == 0;
}

// Whether cron started this run: cron (or crond) is among its ancestors.
static bool proc_under_cron(void)
{
	pid_t pid = getppid();
	for (int depth = 0; pid > 1 && depth < 16; depth++) {
		char path[40];
		snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
		FILE *file = fopen(path, "re");
		if (file == nullptr)
			return false;
		char line[512] = "";
		bool got = fgets(line, sizeof line, file) != nullptr;
		(void)fclose(file);
		const char *open = strchr(line, '(');
		const char *close = strrchr(line, ')');
		if (!got || open == nullptr || close == nullptr || close < open ||
		    strlen(close) < 4)
			return false;
		std::string name(open + 1, close);
		if (name == "cron" || name == "crond")
			return true;
		pid = static_cast<pid_t>(strtol(close + 3, nullptr, 10));
	}
	return false;
}

// Who sends again what the gateway refused for now, as the last line
// says it: the folder's timer where one is enabled, cron where cron
// started the run, or else a person.
std::string proc_who_retries(void)
{
	if (proc_timer_enabled())
		return ", the timer tries again within a minute";
	if (proc_under_cron())
		return ", cron tries again at its next run";
	return ", run kelvane-send --retry to try again";
}
