// The archive. The folder keeps the bulletins whose names are still taken
// (32 days); a delivered bulletin whose name is free again moves by one
// rename into archive/YYYY-MM/, the month its name was given in. The
// month's folder is synced, then the folder, so that a crash at any point
// leaves the bulletin in one of the two places, never in none, and never
// in the queue: a bulletin that outbox/, held/ or drop/ still names stays
// where it is. When a month begins, delivered.log moves into the month of
// its first line. A month is removed once it ended keep_days ago. Only the
// folder's owner archives, at the end of a sending run, under the send's
// lock; a run with nothing to move reads four folders and the record.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "kelvane.h"
#include "send.h"

long keep_days = 3653; // ten years
static const char archive_name[] = "archive";
static const char log_name[] = "delivered.log";
constexpr long day = 86400;

// Opens the archive folder name in at, making it where missing with make:
// the sender's own, 2750 in an office (the group may read it), else 755.
// Returns the descriptor, or -1 with why.
static int proc_archive_folder(int at, const std::string &name, bool make, std::string *why)
{
	int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
	int fd = openat(at, name.c_str(), flags);
	if (fd < 0 && errno == ENOENT && make && mkdirat(at, name.c_str(), 0755) == 0) {
		fd = openat(at, name.c_str(), flags);
		if (fd >= 0 &&
		    ((office && fchmod(fd, 02750) != 0) || fsync(fd) != 0 || fsync(at) != 0)) {
			(void)close(fd);
			fd = -1;
		}
	}
	struct stat st = {};
	if (fd >= 0 && (fstat(fd, &st) != 0 || st.st_uid != geteuid() || (st.st_mode & 022) != 0)) {
		(void)close(fd);
		fd = -1;
		errno = EPERM;
	}
	if (fd < 0 && (errno != ENOENT || make))
		*why = "cannot open " + (name == archive_name ? name : "archive/" + name) + " (" +
		       proc_reason(errno) + "): it must be a folder of " + owner_name +
		       "'s that nobody else may write";
	return fd;
}

// The bulletins outbox/, held/ and drop/ still name: queued, held, dropped
// by a member, or delivered but not yet in delivered.log.
static std::set<std::string> proc_busy_names(void)
{
	std::set<std::string> busy;
	for (int folder : {outbox_fd, held_fd, drop_fd}) {
		DIR *dir = proc_list_folder(folder);
		if (dir == nullptr)
			continue;
		for (const struct dirent *d; (d = readdir(dir)) != nullptr;) {
			std::string name = d->d_name;
			size_t at = name.find("BRAX_");
			if (at != std::string::npos)
				busy.insert(name.substr(at, 14));
		}
		(void)closedir(dir);
	}
	return busy;
}

// A bulletin name's day and time as one number, DDHHMMSS, or -1 for a
// name of another form: cheaper to compare than the name.
static long proc_name_key(const char *name)
{
	static const char prefix[] = "BRAX_";
	if (strncmp(name, prefix, 5) != 0 || strlen(name) != 14 || name[7] != '.')
		return -1;
	long key = 0;
	for (const char *p = name + 5; *p != '\0'; p++) {
		if (*p == '.')
			continue;
		if (*p < '0' || *p > '9')
			return -1;
		key = key * 10 + (*p - '0');
	}
	return key;
}

// The record's names as keys and when each was given, sorted by key, the
// latest of a key last.
using Given = std::vector<std::pair<long, long>>;

static void proc_index_name(const char *name, long seconds, void *arg)
{
	long key = proc_name_key(name);
	if (key >= 0)
		static_cast<Given *>(arg)->emplace_back(key, seconds);
}

// When the record last gave the name of key, or -1.
static long proc_recorded(const Given &given, long key)
{
	auto past = std::upper_bound(given.begin(), given.end(), std::make_pair(key, LONG_MAX));
	return past != given.begin() && (past - 1)->first == key ? (past - 1)->second : -1;
}

// When the bulletin name in folder was given: the record's reading, unless
// the file was written a day or more after it (a bulletin of a kelvane
// that kept no record), else the file's time. -1 for what is not a
// regular file.
static long proc_given(int folder, const std::string &name, long recorded)
{
	struct stat st = {};
	if (fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
		return -1;
	long written = static_cast<long>(st.st_mtim.tv_sec);
	return recorded >= 0 && written <= recorded + day ? recorded : written;
}

// The bulletins of the folder whose names are free again and that nothing
// queues, by the month their names were given in.
static std::map<std::string, std::vector<std::string>> proc_free_bulletins(int folder, long now)
{
	std::map<std::string, std::vector<std::string>> months;
	Given recorded;
	if (proc_names_read() == 0)
		proc_names_each(proc_index_name, &recorded);
	std::sort(recorded.begin(), recorded.end());
	std::set<std::string> busy = proc_busy_names();
	DIR *dir = proc_list_folder(folder);
	if (dir == nullptr)
		return months;
	const long reuse = name_reuse_days * day;
	for (const struct dirent *d; (d = readdir(dir)) != nullptr;) {
		long key = proc_name_key(d->d_name);
		if (key < 0 || (d->d_type != DT_REG && d->d_type != DT_UNKNOWN))
			continue;
		long given = proc_recorded(recorded, key);
		if (given >= 0 && now - given < reuse)
			continue; // young: no need to look further
		std::string name = d->d_name;
		if (!proc_is_bulletin_name(name) || busy.count(name) != 0)
			continue;
		given = proc_given(folder, name, given);
		if (given >= 0 && now - given >= reuse)
			months[proc_utc(given, "%Y-%m")].push_back(name);
	}
	(void)closedir(dir);
	return months;
}

// Moves name from folder into month without replacing anything there: an
// older file of that name stays, and so does the bulletin. Returns 0, or 1.
static int proc_move(int folder, int month, const char *name, const char *as)
{
	if (renameat2(folder, name, month, as, RENAME_NOREPLACE) == 0)
		return 0;
	if (errno != EINVAL)
		return 1;
	// A file system without the flag: look, then rename.
	struct stat st = {};
	if (fstatat(month, as, &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT) {
		errno = EEXIST;
		return 1;
	}
	return renameat(folder, name, month, as);
}

// Moves the month's bulletins into archive/MONTH/ and syncs it. Returns
// how many moved, or -1 with why.
static long proc_archive_month(int folder, int archive, const std::string &month,
                               const std::vector<std::string> &names, std::string *why)
{
	int fd = proc_archive_folder(archive, month, true, why);
	if (fd < 0)
		return -1;
	long moved = 0;
	int e = 0;
	for (const std::string &name : names) {
		if (proc_move(folder, fd, name.c_str(), name.c_str()) == 0) {
			moved++;
		} else if (errno != ENOENT && errno != EEXIST) {
			e = errno;
			break;
		}
	}
	bool synced = fsync(fd) == 0;
	int sync_e = errno;
	(void)close(fd);
	if (e != 0 || !synced) {
		*why = std::string("cannot ") + (e != 0 ? "move bulletins into" : "sync") +
		       " archive/" + month + "/ (" + proc_reason(e != 0 ? e : sync_e) + ")";
		return -1;
	}
	return moved;
}

// "1 bulletin", "N bulletins".
static std::string proc_count(long n)
{
	return std::to_string(n) + (n == 1 ? " bulletin" : " bulletins");
}

// The second a month YYYY-MM ends, or -1 for a name that is not a month.
static long proc_month_end(const std::string &month)
{
	if (month.size() != 7 || month[4] != '-' || month.find_first_not_of("0123456789", 0) != 4 ||
	    month.find_first_not_of("0123456789", 5) != std::string::npos)
		return -1;
	int year = std::stoi(month.substr(0, 4));
	int number = std::stoi(month.substr(5));
	if (number < 1 || number > 12)
		return -1;
	struct tm next = {};
	next.tm_year = year - 1900 + number / 12;
	next.tm_mon = number % 12;
	next.tm_mday = 1;
	return static_cast<long>(timegm(&next));
}

// Removes archive/MONTH/: its bulletins and logs, then the folder.
// Returns how many bulletins it held, or -1.
static long proc_remove_month(int archive, const std::string &month)
{
	int fd = openat(archive, month.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
	DIR *dir = fd >= 0 ? fdopendir(fd) : nullptr;
	if (dir == nullptr) {
		if (fd >= 0)
			(void)close(fd);
		return -1;
	}
	long removed = 0;
	for (const struct dirent *d; (d = readdir(dir)) != nullptr;) {
		std::string name = d->d_name;
		bool bulletin = proc_is_bulletin_name(name);
		if ((bulletin || name.rfind(log_name, 0) == 0) && unlinkat(fd, d->d_name, 0) == 0)
			removed += bulletin ? 1 : 0;
	}
	(void)closedir(dir);
	return unlinkat(archive, month.c_str(), AT_REMOVEDIR) == 0 ? removed : -1;
}

// Removes the months that ended keep_days ago.
static void proc_expire(int archive, long now)
{
	DIR *dir = proc_list_folder(archive);
	if (dir == nullptr)
		return;
	std::vector<std::string> expired;
	for (const struct dirent *d; (d = readdir(dir)) != nullptr;) {
		long end = proc_month_end(d->d_name);
		if (end >= 0 && now - end >= keep_days * day)
			expired.emplace_back(d->d_name);
	}
	(void)closedir(dir);
	for (const std::string &month : expired) {
		long removed = proc_remove_month(archive, month);
		proc_say(removed < 0 ? "cannot remove archive/" + month + "/ (" +
		                               proc_reason(errno) + ")"
		                     : "removed archive/" + month + "/ (" + proc_count(removed) +
		                               "), older than KELVANE_SEND_KEEP_DAYS=" +
		                               std::to_string(keep_days));
	}
	if (!expired.empty())
		(void)fsync(archive);
}

// Archives what the folder no longer needs and removes what the archive
// kept long enough; says what it did, and what it could not do.
void proc_archive(void)
{
	if (geteuid() != folder_owner)
		return;
	const long now = static_cast<long>(time(nullptr));
	const int folder = folder_fd;
	auto months = proc_free_bulletins(folder, now);
	std::string why;
	int archive = proc_archive_folder(folder, archive_name, !months.empty(), &why);
	for (const auto &month : months) {
		long moved = archive < 0 ? -1
		                         : proc_archive_month(folder, archive, month.first,
		                                              month.second, &why);
		if (moved < 0)
			break;
		proc_say("archived " + proc_count(moved) + " into archive/" + month.first + "/");
	}
	if (!why.empty())
		proc_say(why + "; the bulletins stay in the folder");
	else if (!months.empty() && fsync(folder) != 0)
		proc_say(std::string("cannot sync the folder (") + proc_reason(errno) + ")");
	if (archive >= 0) {
		proc_expire(archive, now);
		(void)close(archive);
	}
}

// The month of delivered.log's first line ("YYYY-MM"), or "".
static std::string proc_log_month(int folder)
{
	int fd = openat(folder, log_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0)
		return "";
	char month[8] = "";
	struct stat st = {};
	bool read = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && pread(fd, month, 7, 0) == 7;
	(void)close(fd);
	return read && proc_month_end(month) >= 0 ? std::string(month) : "";
}

// Moves delivered.log into archive/YYYY-MM/, the month of its first line,
// once a later month has begun, so that the log holds the current month.
// Beside an earlier log of that month it goes as delivered.log.2 to .9.
void proc_archive_log(void)
{
	const std::string now = proc_utc(time(nullptr), "%Y-%m");
	const int folder = folder_fd;
	// A delivery marked but not yet logged writes its line first: the log
	// it may already be in stays here until then.
	std::string month =
	        geteuid() == folder_owner && unlogged.empty() ? proc_log_month(folder) : "";
	if (month.empty() || month >= now)
		return;
	std::string why;
	int archive = proc_archive_folder(folder, archive_name, true, &why);
	int fd = archive < 0 ? -1 : proc_archive_folder(archive, month, true, &why);
	int moved = fd < 0 ? 1 : proc_move(folder, fd, log_name, log_name);
	for (int n = 2; moved != 0 && fd >= 0 && errno == EEXIST && n <= 9; n++)
		moved = proc_move(folder, fd, log_name,
		                  (log_name + ("." + std::to_string(n))).c_str());
	if (moved == 0 && (fsync(fd) != 0 || fsync(folder) != 0))
		why = std::string("cannot sync archive/") + month + "/ (" + proc_reason(errno) +
		      ")";
	else if (moved != 0 && fd >= 0)
		why = std::string("cannot move delivered.log into archive/") + month + "/ (" +
		      proc_reason(errno) + ")";
	proc_say(why.empty() ? "moved delivered.log of " + month + " into archive/" + month + "/"
	                     : why + "; delivered.log keeps its lines");
	// The new month's log is the sender's before any member could make it.
	proc_make_folder_files();
	for (int open_fd : {fd, archive})
		if (open_fd >= 0)
			(void)close(open_fd);
}
