// The hand-over, as mail systems split it between a drop folder and a
// pickup. Whoever converts copies the bulletin kelvane made into drop/
// as BULLETIN.RANDOM, under a dot name first and synced, so that a
// bulletin reported queued survives a power cut. In an office drop/ is
// sticky and group-writable without read: a member creates files there,
// but cannot list, replace or remove another's, and the random part keeps
// the names from being guessed. Only the sending account's run picks up:
// it checks each dropped file as it opened it (a regular file with one
// name, not a link, of a member of the folder's group, a whole bulletin),
// copies its bytes into outbox/ under the next sequence, and only then
// removes the drop. From then on nothing a member does changes what is
// sent. A member also asks here for the release or drop of a bulletin
// she queued: an empty file release-BULLETIN.RANDOM or drop-BULLETIN.RANDOM.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kelvane.h"
#include "send.h"

int drop_fd = -1;
size_t dropped;
time_t oldest_dropped;
bool drops_hidden;

constexpr size_t sizeof_random = 6;
// The most drops a run says it cannot queue; --status lists them all.
constexpr size_t max_said = 20;
static const char sequence_name[] = ".sequence";
// A dot name younger than this is a hand-over still being written.
constexpr time_t handing_seconds = 60;
static const char *const asks[] = {"release-", "drop-"};

// A random part for a name in drop/, from the kernel's generator.
static std::string proc_random_part(void)
{
	static const char letters[] =
	        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
	unsigned char bytes[sizeof_random] = {};
	if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes))
		return "";
	std::string part;
	for (unsigned char b : bytes)
		part += letters[b % (sizeof letters - 1)];
	return part;
}

// Whether name is BULLETIN.RANDOM, with the bulletin's name in bulletin.
static bool proc_drop_name(const std::string &name, std::string *bulletin)
{
	size_t dot = name.rfind('.');
	if (dot == std::string::npos || name.size() - dot - 1 != sizeof_random ||
	    name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
	                           dot + 1) != std::string::npos)
		return false;
	*bulletin = name.substr(0, dot);
	return proc_is_bulletin_name(*bulletin);
}

// Reads the whole of the file open as fd, of size bytes, into bytes.
// Returns 0, or 1 with errno.
static int proc_read_all(int fd, long long size, std::string *bytes)
{
	bytes->assign(static_cast<size_t>(size), '\0');
	long long at = 0;
	while (at < size) {
		ssize_t got = pread(fd, &(*bytes)[static_cast<size_t>(at)],
		                    static_cast<size_t>(size - at), at);
		if (got < 0 && errno == EINTR)
			continue;
		if (got <= 0) {
			errno = got == 0 ? EIO : errno;
			return 1;
		}
		at += got;
	}
	return 0;
}

// Why the file open as fd may not be taken, or "": it must be a regular
// file with one name whose owner passes owner_ok, no bigger than a
// bulletin can be.
static std::string proc_unfit_file(int fd, bool (*owner_ok)(uid_t), struct stat *st)
{
	if (fstat(fd, st) != 0)
		return std::string("it cannot be examined (") + proc_reason(errno) + ")";
	if (!S_ISREG(st->st_mode))
		return "it is not a regular file";
	if (st->st_nlink != 1)
		return "it has another name (a hard link)";
	if (!owner_ok(st->st_uid))
		return "its owner " + proc_escape(proc_account(st->st_uid)) +
		       " is not a member of group " + proc_group_name(folder_group);
	if (st->st_size - sizeof_flag_line > max_bulletin_length)
		return "it is too long for a bulletin (" + std::to_string(st->st_size) + " bytes)";
	return "";
}

// Opens name in dir as a file to take, not following a link nor blocking
// on a FIFO, and reads what it holds: with whole, all its bytes; else its
// head and tail only, which tell its shape at the cost of two reads.
// Returns "" and fills bytes and st, or why it cannot be taken.
static std::string proc_take(int dir, const std::string &name, bool (*owner_ok)(uid_t), bool whole,
                             std::string *bytes, struct stat *st)
{
	int fd = openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0)
		return errno == ELOOP
		               ? "it is a symbolic link, not a bulletin"
		               : std::string("it cannot be read (") + proc_reason(errno) + ")";
	std::string problem = proc_unfit_file(fd, owner_ok, st);
	char head[sizeof_flag_line + sizeof_wmo_header] = {};
	unsigned char tail[sizeof_trailer] = {};
	bool read = problem.empty() && st->st_size >= smallest_bulletin &&
	            (whole ? proc_read_all(fd, st->st_size, bytes) == 0
	                   : pread(fd, head, sizeof head, 0) == static_cast<ssize_t>(sizeof head) &&
	                             pread(fd, tail, sizeof tail,
	                                   st->st_size - static_cast<off_t>(sizeof tail)) ==
	                                     static_cast<ssize_t>(sizeof tail));
	int e = errno;
	(void)close(fd);
	if (!problem.empty())
		return problem;
	if (st->st_size < smallest_bulletin)
		return "it is too short for a bulletin (" + std::to_string(st->st_size) + " bytes)";
	if (!read)
		return std::string("it cannot be read (") + proc_reason(e) + ")";
	if (whole) {
		memcpy(head, bytes->data(), sizeof head);
		memcpy(tail, bytes->data() + bytes->size() - sizeof tail, sizeof tail);
	}
	return proc_bulletin_problem(head, tail, st->st_size);
}

// Syncs the names in dir; a member, who may not read drop/, syncs the
// file system the file fd is on instead.
static int proc_sync_names(int dir, int fd)
{
	if (fsync(dir) == 0 || errno == EINVAL)
		return 0;
	return errno == EBADF && syncfs(fd) == 0 ? 0 : 1;
}

// Writes bytes into dir under a dot name, syncs it, renames it to name
// and syncs the names. Returns 0, or 1 with errno; nothing is left
// behind on failure.
static int proc_write_copy(int dir, const std::string &name, const std::string &bytes)
{
	const std::string temp = "." + name;
	int fd = openat(dir, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
	                0666);
	if (fd < 0)
		return 1;
	bool done = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) &&
	            fsync(fd) == 0 && renameat(dir, temp.c_str(), dir, name.c_str()) == 0;
	if (!done)
		(void)unlinkat(dir, temp.c_str(), 0);
	done = done && proc_sync_names(dir, fd) == 0;
	int e = errno;
	if (close(fd) != 0 || !done) {
		errno = done ? errno : e;
		return 1;
	}
	return 0;
}

static bool proc_is_me(uid_t uid)
{
	return uid == geteuid();
}

// Hands the bulletin kelvane just made over: its bytes, read from a file
// of this account's that nobody else may write, copied into drop/.
// Returns 0, or 1 with why.
int proc_hand_over(const std::string &bulletin, std::string *why)
{
	std::string bytes;
	struct stat st = {};
	if (drop_fd < 0 && proc_subfolder("drop", true, &drop_fd, why) != 0)
		return 1;
	std::string problem = proc_take(folder_fd, bulletin, proc_is_me, true, &bytes, &st);
	if (problem.empty() && (st.st_mode & 022) != 0)
		problem = "others may write it";
	if (!problem.empty()) {
		*why = "cannot hand " + bulletin + " over: " + problem;
		return 1;
	}
	const std::string part = proc_random_part();
	if (part.empty() || proc_write_copy(drop_fd, bulletin + "." + part, bytes) != 0) {
		*why = "cannot hand " + bulletin + " over in drop/ (" + proc_reason(errno) + ")";
		return 1;
	}
	return 0;
}

// Asks the sending account to release or drop a held entry: an empty
// file in drop/ that says who asks. Returns 0, or 1 with why.
int proc_ask(const std::string &what, const Entry &entry, std::string *why)
{
	const std::string part = proc_random_part();
	if (drop_fd < 0 || part.empty() ||
	    proc_write_copy(drop_fd, what + "-" + entry.bulletin + "." + part, "") != 0) {
		*why = "cannot ask for the " + what + " of " + entry.bulletin + " in drop/ (" +
		       proc_reason(errno) + ")";
		return 1;
	}
	return 0;
}

static bool proc_is_ask(const std::string &name)
{
	return std::any_of(std::begin(asks), std::end(asks),
	                   [&name](const char *a) { return name.compare(0, strlen(a), a) == 0; });
}

// The queued entry of the bulletin's name, or nullptr.
static const Entry *proc_queued(const std::string &bulletin)
{
	for (const std::vector<Entry> *list : {&queue, &held, &unlogged}) {
		auto e = std::find_if(list->begin(), list->end(), [&bulletin](const Entry &q) {
			return q.bulletin == bulletin;
		});
		if (e != list->end())
			return &*e;
	}
	return nullptr;
}

// Whether entry holds exactly bytes: then the drop is what a pickup cut
// short after its copy was synced left behind.
static bool proc_same_bytes(const Entry &entry, const std::string &bytes)
{
	int fd = openat(entry.dir, entry.file.c_str(),
	                O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
	std::string queued;
	struct stat st = {};
	bool same = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
	            st.st_size == static_cast<off_t>(bytes.size()) &&
	            proc_read_all(fd, st.st_size, &queued) == 0 && queued == bytes;
	if (fd >= 0)
		(void)close(fd);
	return same;
}

// Why a bulletin handed over by uid may not be queued under its name, or
// "": the name belongs to the account whose conversion made it, and one
// name is queued once.
static std::string proc_name_problem(const std::string &bulletin, uid_t uid)
{
	struct stat st = {};
	if (fstatat(folder_fd, bulletin.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
		return "the folder has no " + bulletin + " that it was converted as";
	if (st.st_uid != uid)
		return "the folder's " + bulletin + " is " + proc_escape(proc_account(st.st_uid)) +
		       "'s, not " + proc_escape(proc_account(uid)) + "'s";
	const Entry *e = proc_queued(bulletin);
	if (e != nullptr)
		return "another bulletin named " + bulletin + " waits as " + e->name();
	return "";
}

// What drop/ holds, where this run may read it: the bulletins that wait
// for the pickup (dropped, and when the oldest came), and the strays,
// which are never sent and are left for a person. A member, who may not
// read drop/, learns nothing of it. Returns 0, or 1 with why.
int proc_read_drops(std::string *why)
{
	dropped = 0;
	oldest_dropped = 0;
	drops_hidden = false;
	DIR *d = proc_list_folder(drop_fd);
	if (d == nullptr) {
		drops_hidden = drop_fd >= 0 && (errno == EACCES || errno == EBADF);
		if (drop_fd < 0 || drops_hidden)
			return 0;
		*why = std::string("cannot read ") + proc_folder() + "/drop (" +
		       proc_reason(errno) + ")";
		return 1;
	}
	time_t now = time(nullptr);
	for (const struct dirent *de; (de = readdir(d)) != nullptr;) {
		std::string name = de->d_name;
		std::string bulletin;
		struct stat st = {};
		if (name == "." || name == ".." ||
		    fstatat(drop_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
		    (name[0] == '.' && now - st.st_ctime < handing_seconds) || proc_is_ask(name))
			continue;
		// A member may set her file's time, but not the change the kernel
		// stamped: a drop never looks younger than either.
		time_t since = std::min(st.st_mtime, st.st_ctime);
		std::string bytes;
		std::string problem =
		        !proc_drop_name(name, &bulletin)
		                ? "its name is not a bulletin's"
		                : proc_take(drop_fd, name, proc_is_member, false, &bytes, &st);
		if (problem.empty())
			problem = proc_name_problem(bulletin, st.st_uid);
		if (problem.empty()) {
			oldest_dropped = dropped == 0 ? since : std::min(oldest_dropped, since);
			dropped++;
		} else {
			strays.push_back("drop/" + proc_escape(name) + ": " + problem);
		}
	}
	(void)closedir(d);
	return 0;
}

// A bulletin in drop/ as the pickup found it.
struct Dropped {
	std::string name;
	std::string bulletin;
	struct timespec at; // when the kernel last stamped it
};

// The bulletins and asks in drop/, each list in the order they came.
// Returns 0, or 1 with errno.
static int proc_list_drops(std::vector<Dropped> *drops, std::vector<Dropped> *asked)
{
	DIR *d = proc_list_folder(drop_fd);
	if (d == nullptr)
		return 1;
	for (const struct dirent *de; (de = readdir(d)) != nullptr;) {
		Dropped drop = {de->d_name, "", {}};
		struct stat st = {};
		bool ask = proc_is_ask(drop.name);
		if ((!ask && !proc_drop_name(drop.name, &drop.bulletin)) ||
		    fstatat(drop_fd, drop.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
			continue;
		drop.at = st.st_ctim;
		(ask ? asked : drops)->push_back(drop);
	}
	(void)closedir(d);
	for (std::vector<Dropped> *list : {drops, asked})
		std::sort(list->begin(), list->end(), [](const Dropped &a, const Dropped &b) {
			return a.at.tv_sec != b.at.tv_sec ? a.at.tv_sec < b.at.tv_sec
			                                  : a.at.tv_nsec < b.at.tv_nsec;
		});
	return 0;
}

// Removes a name from drop/ and syncs it. Returns 0, or 1 with why.
static int proc_remove_drop(const std::string &name, std::string *why)
{
	if (unlinkat(drop_fd, name.c_str(), 0) == 0 && (fsync(drop_fd) == 0 || errno == EINVAL))
		return 0;
	*why = "cannot remove drop/" + proc_escape(name) + " (" + proc_reason(errno) + ")";
	return 1;
}

// Takes one dropped bulletin into outbox/: its bytes as opened and
// checked, copied under the next sequence and synced, then the drop
// removed. One that cannot be taken is left for --status. Returns 0, or
// 1 with why.
static int proc_take_drop(const Dropped &drop, long long *next, std::string *why)
{
	std::string bytes;
	struct stat st = {};
	std::string problem = proc_take(drop_fd, drop.name, proc_is_member, true, &bytes, &st);
	const Entry *queued = problem.empty() ? proc_queued(drop.bulletin) : nullptr;
	if (queued != nullptr && queued->owner == st.st_uid && proc_same_bytes(*queued, bytes))
		return proc_remove_drop(drop.name, why);
	if (problem.empty())
		problem = proc_name_problem(drop.bulletin, st.st_uid);
	if (!problem.empty()) {
		static std::vector<std::string> said;
		if (std::find(said.begin(), said.end(), drop.name) == said.end() &&
		    said.size() < max_said) {
			said.push_back(drop.name);
			proc_say("drop/" + proc_escape(drop.name) +
			         " cannot be queued: " + problem + "; left alone" +
			         (said.size() == max_said ? " (and so on: --status)" : ""));
		}
		return 0;
	}
	char file[64];
	snprintf(file, sizeof file, "%010lld.%u.%s", *next, static_cast<unsigned>(st.st_uid),
	         drop.bulletin.c_str());
	if (proc_write_copy(outbox_fd, file, bytes) != 0) {
		*why = "cannot queue " + drop.bulletin + " as outbox/" + file + " (" +
		       proc_reason(errno) + ")";
		return 1;
	}
	(*next)++;
	proc_say("queued " + drop.bulletin + " (" + std::to_string(bytes.size()) +
	         " bytes) as outbox/" + file +
	         (st.st_uid != folder_owner ? ", handed over by " + proc_account(st.st_uid) : ""));
	return proc_remove_drop(drop.name, why);
}

// Answers a member's ask to release or drop a held bulletin: done where
// she queued it (or the sender or root asks), refused otherwise; the ask
// is removed either way. Returns 0, or 1 with why.
static int proc_answer(const Dropped &ask, std::string *why)
{
	struct stat st = {};
	if (fstatat(drop_fd, ask.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
		return 0;
	// An ask is an empty file its owner made: anything else (a link to
	// another's file, which would lend her name) asks nothing.
	if (!S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_size != 0) {
		proc_say("drop/" + proc_escape(ask.name) + " is not an ask; removed");
		return proc_remove_drop(ask.name, why);
	}
	bool release = ask.name.compare(0, strlen(asks[0]), asks[0]) == 0;
	std::string bulletin = ask.name.substr(strlen(release ? asks[0] : asks[1]));
	bulletin.resize(bulletin.rfind('.'));
	std::string said;
	const Entry *e = proc_find_held(bulletin, &said);
	const std::string who = proc_account(st.st_uid);
	if (e != nullptr &&
	    (st.st_uid == e->owner || st.st_uid == folder_owner || st.st_uid == 0)) {
		int failed =
		        release ? proc_release(bulletin, &said) : proc_drop(bulletin, who, &said);
		proc_say((failed != 0 ? "FAILED: " : "") + said + ", as " + proc_escape(who) +
		         " asked");
	} else if (e != nullptr) {
		proc_say("refused " + proc_escape(who) + "'s ask to " +
		         (release ? "release " : "drop ") + e->bulletin + ": only " +
		         proc_account(e->owner) + ", who queued it, " + owner_name +
		         " or root may");
	}
	return proc_remove_drop(ask.name, why);
}

// The highest sequence given, kept in outbox/.sequence so that sequences
// only grow, even after the queue was empty; 0 where it cannot be read.
static long long proc_last_sequence(void)
{
	int fd = openat(outbox_fd, sequence_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
	char text[24] = "";
	ssize_t got = fd >= 0 ? pread(fd, text, sizeof text - 1, 0) : -1;
	if (fd >= 0)
		(void)close(fd);
	text[got > 0 ? got : 0] = '\0';
	return strtoll(text, nullptr, 10);
}

// Keeps the highest sequence given. A copy lost in a power cut only lets
// a sequence be given again once all below it have left the queue.
static void proc_keep_sequence(long long last)
{
	int fd =
	        openat(outbox_fd, sequence_name, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
	if (fd < 0)
		return;
	const std::string text = std::to_string(last) + "\n";
	if (ftruncate(fd, 0) == 0 && pwrite(fd, text.data(), text.size(), 0) > 0)
		(void)fsync(fd);
	(void)close(fd);
}

// Removes what a pickup cut short left in outbox/: copies under a dot
// name, never renamed into the queue.
static void proc_clean_outbox(void)
{
	DIR *d = proc_list_folder(outbox_fd);
	if (d == nullptr)
		return;
	for (const struct dirent *de; (de = readdir(d)) != nullptr;) {
		if (de->d_name[0] == '.' && isdigit(static_cast<unsigned char>(de->d_name[1])))
			(void)unlinkat(outbox_fd, de->d_name, 0);
	}
	(void)closedir(d);
}

// The sender's pickup, under the send's lock: every bulletin handed over
// into outbox/, in the order they came, then the asks. Returns 0, or 1
// with why.
int proc_pickup(std::string *why)
{
	std::vector<Dropped> drops;
	std::vector<Dropped> asked;
	if (drop_fd < 0 || outbox_fd < 0)
		return proc_read_queue(why);
	proc_clean_outbox();
	if (proc_read_queue(why) != 0)
		return 1;
	if (proc_list_drops(&drops, &asked) != 0) {
		*why = std::string("cannot read ") + proc_folder() + "/drop (" +
		       proc_reason(errno) + ")";
		return 1;
	}
	const long long first = std::max(proc_next_sequence(), proc_last_sequence() + 1);
	long long next = first;
	int failed = 0;
	for (size_t i = 0; failed == 0 && i < drops.size(); i++)
		failed = proc_take_drop(drops[i], &next, why);
	if (next != first)
		proc_keep_sequence(next - 1);
	if (failed != 0)
		return 1;
	if (std::any_of(asked.begin(), asked.end(),
	                [why](const Dropped &ask) { return proc_answer(ask, why) != 0; }))
		return 1;
	return proc_read_queue(why);
}
