// The folder kelvane-send works in: a forecaster's own, or an office's
// that a group shares (set-group-id, group-writable, mode 2770), whose
// owner is the account that sends. kelvane-send.conf there names the
// gateway and the folder's seat among the hosts that send to it; it is
// trusted only when its owner is the folder's and nobody else may write
// it, because its words decide what the sender runs. Every file opened
// here is opened without following links, so that no member can point
// the sender's writes at the sender's own files.
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

bool office;
uid_t folder_owner;
std::string owner_name;
std::vector<std::string> conf_gateway;
int seat = 1;
int seats = 1;
int send_lock = -1;
static gid_t folder_group;

// An account's name, or its number where it has none.
std::string proc_account(uid_t uid)
{
	const struct passwd *pw = getpwuid(uid);
	return pw != nullptr ? pw->pw_name : std::to_string(uid);
}

static std::string proc_group_name(gid_t gid)
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
// folder's owner that nobody else may write.
static int proc_read_conf(std::string *why)
{
	const std::string folder = proc_folder();
	const std::string named = folder + "/" + conf_name;
	struct stat st = {};
	if (lstat(conf_name, &st) != 0) {
		if (errno != ENOENT) {
			*why = "cannot examine " + named + " (" + proc_reason(errno) + ")";
			return 1;
		}
		if (!office)
			return 0;
		*why = folder + " is shared by group " + proc_group_name(folder_group) +
		       ", so it needs a " + conf_name + " of " + owner_name +
		       "'s with mode 640 (the gateway and KELVANE_SEND_SEAT)";
		return 1;
	}
	if (!S_ISREG(st.st_mode) || st.st_uid != folder_owner || (st.st_mode & 022) != 0) {
		*why = named + " is not trusted: it must be a regular file of " + owner_name +
		       "'s, the folder's owner, that nobody else may write (chmod " +
		       (office ? "640" : "600") + ")";
		return 1;
	}
	int fd = open(conf_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
	struct stat opened = {};
	if (fd < 0 || fstat(fd, &opened) != 0 || opened.st_ino != st.st_ino ||
	    opened.st_dev != st.st_dev) {
		*why = "cannot read " + named + " (" + proc_reason(errno) + ")";
		if (fd >= 0)
			(void)close(fd);
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
	if (stat(".", &st) != 0) {
		*why = "cannot examine " + folder + " (" + proc_reason(errno) + ")";
		return 1;
	}
	folder_owner = st.st_uid;
	folder_group = st.st_gid;
	owner_name = proc_account(folder_owner);
	office = (st.st_mode & S_IWGRP) != 0;
	if ((st.st_mode & S_IWOTH) != 0) {
		*why = folder + " may be written by anybody: chmod 700 it, or 2770 for a group";
		return 1;
	}
	if (office && ((st.st_mode & S_ISGID) == 0 || (st.st_mode & S_ISVTX) != 0)) {
		*why = folder + " is shared by group " + proc_group_name(folder_group) +
		       " but is not set-group-id, or is sticky: chmod 2770 it";
		return 1;
	}
	// What an office run writes stays readable and writable by the group,
	// whatever the member's own umask, and by nobody else.
	if (office)
		(void)umask(007);
	return proc_read_conf(why);
}

// outbox/ and held/ decide what goes to the gateway: in an office they
// carry the folder's group and mode 2770, elsewhere they are the owner's
// and nobody else may write them. A missing one is made later.
int proc_check_queue_folder(const char *name, std::string *why)
{
	struct stat st = {};
	if (lstat(name, &st) != 0) {
		if (errno == ENOENT)
			return 0;
		*why = "cannot examine " + std::string(proc_folder()) + "/" + name + " (" +
		       proc_reason(errno) + ")";
		return 1;
	}
	bool fit = S_ISDIR(st.st_mode) &&
	           (office ? st.st_gid == folder_group && (st.st_mode & 07777) == 02770
	                   : st.st_uid == folder_owner && (st.st_mode & 022) == 0);
	if (fit)
		return 0;
	*why = std::string(proc_folder()) + "/" + name + " is not fit for the queue: " +
	       (office ? "it must be a folder of group " + proc_group_name(folder_group) +
	                         " with mode 2770 (chgrp, then chmod 2770 it)"
	               : "it must be a folder of " + owner_name +
	                         "'s that only its owner may write (chmod 700 it)");
	return 1;
}

// Makes outbox/ or held/ where it is missing, with the modes above.
int proc_make_queue_folder(const char *name, std::string *why)
{
	struct stat st = {};
	if (lstat(name, &st) == 0)
		return 0;
	int fd = -1;
	int made_folder = mkdir(name, office ? 02770 : 0755);
	// Another run may have made it meanwhile.
	if (made_folder != 0 && errno == EEXIST)
		return proc_check_queue_folder(name, why);
	bool made = made_folder == 0 &&
	            (fd = open(name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)) >= 0 &&
	            (!office || fchmod(fd, 02770) == 0) && fsync(fd) == 0;
	int e = errno;
	if (fd >= 0)
		(void)close(fd);
	if (made && proc_sync_path(".") == 0)
		return 0;
	*why = "cannot make " + std::string(proc_folder()) + "/" + name + " (" +
	       proc_reason(made ? errno : e) + ")";
	return 1;
}

// In an office, a shared file this account made before (an earlier
// version, another umask) becomes readable and writable by the group.
void proc_share(int fd, const struct stat &st)
{
	if (office && st.st_uid == geteuid() && (st.st_mode & 0660) != 0660)
		(void)fchmod(fd, 0660);
}

// Takes the lock name, exclusively: the queue's (converting and queueing)
// or, with sending, the send's, which then holds the pid of the run that
// sends, for the runs that wait for it. The lock is held until the
// descriptor is closed, by this run and by the children it gives it to.
int proc_lock(const char *name, bool sending, int *fd, std::string *why)
{
	*fd = open(name, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
	struct stat st = {};
	if (*fd < 0 || fstat(*fd, &st) != 0 || !S_ISREG(st.st_mode)) {
		*why = "cannot open the lock " + std::string(name) + " in " + proc_folder() + " (" +
		       proc_reason(*fd < 0 ? errno : EINVAL) + ")";
		return 1;
	}
	proc_share(*fd, st);
	if (flock(*fd, LOCK_EX | LOCK_NB) != 0) {
		char pid[24] = "";
		ssize_t got = sending ? pread(*fd, pid, sizeof pid - 1, 0) : 0;
		pid[got > 0 ? strcspn(pid, "\n") : 0] = '\0';
		if (sending)
			proc_say(std::string("waiting for the send in progress (pid ") +
			         (pid[0] != '\0' ? pid : "unknown") + ")");
		fflush(stdout);
		while (flock(*fd, LOCK_EX) != 0) {
			if (errno != EINTR) {
				*why = "cannot take the lock " + std::string(name) + " (" +
				       proc_reason(errno) + ")";
				return 1;
			}
		}
	}
	if (sending) {
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
	for (long t = from;; t++) {
		if ((t % 60) % seats != seat - 1)
			continue;
		// The name kelvane would give a bulletin of that second.
		proc_set_clock(t);
		proc_talvex_filename();
		struct stat st = {};
		if (!proc_name_used(talvex_filename, t) && lstat(talvex_filename, &st) != 0 &&
		    errno == ENOENT)
			return t;
	}
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

// Whether the timer sends what waits: this run is the timer's, or the
// sending account has enabled the timer for this folder.
bool proc_timer_retries(void)
{
	if (getenv("INVOCATION_ID") != nullptr)
		return true;
	const char *config = getenv("XDG_CONFIG_HOME");
	const char *home = getenv("HOME");
	std::string base = config != nullptr && config[0] == '/'
	                           ? config
	                           : std::string(home != nullptr ? home : "") + "/.config";
	// The instance name systemd-escape --path gives the folder.
	std::string instance;
	std::string folder = proc_folder();
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
	if (instance.empty())
		instance = "-";
	std::string wants =
	        base + "/systemd/user/timers.target.wants/kelvane-send@" + instance + ".timer";
	struct stat st = {};
	return lstat(wants.c_str(), &st) == 0;
}
