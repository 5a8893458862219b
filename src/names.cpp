// The record of the bulletin names this folder used: kelvane.names, one
// line a name, "SECONDS BRAX_DD.HHMMSS", SECONDS the clock reading the name
// was given at (ten digits, seconds since 1970 UTC). A name holds only the
// day of the month and the time, and the gateway drops a name it has taken
// within the month: a name is taken again only once the record says it was
// last used more than 32 days ago, whatever became of its bulletin since.
// Thirty-two days also free it again, so that a job run at one time every
// month finds its own second, or the next, for ever.
//
// kelvane appends a line, with one write and synced, once it has created
// the bulletin; the line's name in the folder is synced with command.txt.
// The record's lock (flock on it, taken again where a rewrite replaced
// it) keeps two conversions from losing each other's line while one of
// them rewrites the record without the lines it no longer needs.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kelvane.h"

static const char names_name[] = "kelvane.names";
static const char names_new[] = "kelvane.names.new";
constexpr long day = 86400;
// A line: ten digits, a space, the name, a line feed.
constexpr size_t sizeof_seconds = 10;
constexpr size_t sizeof_name = 14;
constexpr size_t sizeof_names_line = sizeof_seconds + 1 + sizeof_name + 1;
// The record keeps a name for 48 days, a fortnight past its reuse, so that
// the archive learns each bulletin's time from it; it is rewritten without
// the older lines once its first line is 64 days old.
constexpr long names_kept = 48 * day;
constexpr long names_rewritten = 64 * day;
// The most of the record read: its end, which holds the lines that count
// (at 40 names a day, 64 days take 67 kB); more is a record grown wrong.
constexpr off_t max_names_read = 8L * 1024 * 1024;
// How long a conversion waits for another's lock on the record, in seconds.
constexpr long max_lock_wait = 60;

// A text in memory; plain C, so that kelvane needs no C++ runtime.
struct Text {
	char *bytes;
	size_t size;
};

// The record as read last.
static Text names_text;

// The seconds of the line at text, or -1 where it is not a line.
static long proc_line_seconds(const char *text)
{
	long seconds = 0;
	for (size_t i = 0; i < sizeof_seconds; i++) {
		if (text[i] < '0' || text[i] > '9')
			return -1;
		seconds = seconds * 10 + (text[i] - '0');
	}
	if (text[sizeof_seconds] != ' ' || text[sizeof_names_line - 1] != '\n')
		return -1;
	return seconds;
}

// Reads the whole of fd, of size bytes when it was looked at, into text.
// Returns 0, or 1 with errno.
static int proc_read_all(int fd, off_t size, Text *text)
{
	free(text->bytes);
	text->size = 0;
	size_t room = static_cast<size_t>(size) + 1;
	text->bytes = static_cast<char *>(malloc(room));
	if (text->bytes == nullptr)
		return 1;
	for (;;) {
		if (text->size == room) {
			char *more = static_cast<char *>(realloc(text->bytes, room * 2));
			if (more == nullptr)
				return 1;
			text->bytes = more;
			room *= 2;
		}
		ssize_t got = read(fd, text->bytes + text->size, room - text->size);
		if (got <= 0)
			return got < 0 ? 1 : 0;
		text->size += static_cast<size_t>(got);
	}
}

// Reads the record; a folder without one has used no name yet. Returns 0,
// or 1 with errno where it cannot be read or is not a regular file.
int proc_names_read(void)
{
	names_text.size = 0;
	int fd = open(names_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0)
		return errno == ENOENT ? 0 : 1;
	struct stat st = {};
	int failed = fstat(fd, &st) != 0 ? 1 : 0;
	if (failed == 0 && !S_ISREG(st.st_mode)) {
		failed = 1;
		errno = EINVAL;
	}
	off_t from = st.st_size > max_names_read ? st.st_size - max_names_read : 0;
	if (failed == 0 && lseek(fd, from, SEEK_SET) < 0)
		failed = 1;
	if (failed == 0)
		failed = proc_read_all(fd, st.st_size - from, &names_text);
	int e = errno;
	(void)close(fd);
	errno = e;
	return failed;
}

// Where the line after the one at at begins in the record read last: a
// byte that does not belong (a write cut short, a hand's edit) costs its
// own line only.
static size_t proc_next_line(const Text &text, size_t at)
{
	const void *end = memchr(text.bytes + at, '\n', text.size - at);
	return end == nullptr
	               ? text.size
	               : static_cast<size_t>(static_cast<const char *>(end) - text.bytes) + 1;
}

// Whether the line at at has a line's length.
static bool proc_whole_line(size_t at, size_t next)
{
	return next - at == sizeof_names_line;
}

// Calls each for every line of the record read last, in its order.
void proc_names_each(void (*each)(const char *name, long seconds, void *arg), void *arg)
{
	const char *text = names_text.bytes;
	for (size_t at = 0, next = 0; at < names_text.size; at = next) {
		next = proc_next_line(names_text, at);
		long seconds = proc_whole_line(at, next) ? proc_line_seconds(text + at) : -1;
		if (seconds >= 0) {
			char name[sizeof_name + 1];
			memcpy(name, text + at + sizeof_seconds + 1, sizeof_name);
			name[sizeof_name] = '\0';
			each(name, seconds, arg);
		}
	}
}

// Whether the record read last holds name at a reading less than 32 days
// before now, or after it (a clock set back).
bool proc_name_used(const char *name, long now)
{
	const char *text = names_text.bytes;
	for (size_t at = 0, next = 0; at < names_text.size; at = next) {
		next = proc_next_line(names_text, at);
		if (!proc_whole_line(at, next) ||
		    memcmp(text + at + sizeof_seconds + 1, name, sizeof_name) != 0)
			continue;
		long seconds = proc_line_seconds(text + at);
		if (seconds >= 0 && now - seconds < name_reuse_days * day)
			return true;
	}
	return false;
}

// In a folder a group shares, the record stays writable by the group,
// whatever the umask of the member who made it.
static void proc_share_record(int fd)
{
	struct stat folder = {};
	struct stat st = {};
	if (stat(".", &folder) == 0 && (folder.st_mode & S_IWGRP) != 0 && fstat(fd, &st) == 0 &&
	    st.st_uid == geteuid() && (st.st_mode & 0660) != 0660)
		(void)fchmod(fd, (st.st_mode & 07777) | 0660);
}

// Writes size bytes whole to fd; a part written (a full disk) is cut off
// again, so that the record never holds half a line. Returns 0, or 1 with
// errno.
static int proc_write_all(int fd, const char *bytes, size_t size)
{
	off_t before = lseek(fd, 0, SEEK_END);
	ssize_t put = write(fd, bytes, size);
	if (put == static_cast<ssize_t>(size))
		return 0;
	int e = put >= 0 ? ENOSPC : errno;
	if (put > 0 && before >= 0 && ftruncate(fd, before) != 0)
		e = errno;
	errno = e;
	return 1;
}

// Rewrites the record as text (its lines still needed and the new one):
// a new file, synced, renamed over the old. Returns 0, or 1 with errno.
static int proc_rewrite_names(const Text &text)
{
	if (unlink(names_new) != 0 && errno != ENOENT)
		return 1;
	int fd = open(names_new, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
	if (fd < 0)
		return 1;
	proc_share_record(fd);
	int failed = proc_write_all(fd, text.bytes, text.size) != 0 || fdatasync(fd) != 0 ? 1 : 0;
	int e = errno;
	if (close(fd) != 0 && failed == 0) {
		failed = 1;
		e = errno;
	}
	if (failed == 0 && rename(names_new, names_name) != 0) {
		failed = 1;
		e = errno;
	}
	if (failed != 0)
		(void)unlink(names_new);
	errno = e;
	return failed;
}

// Appends line to the open record, or, where its first line is old enough,
// rewrites it without the lines no longer needed. Returns 0, or 1 with errno.
static int proc_add_line(int fd, const char *line, long seconds)
{
	char first[sizeof_names_line];
	ssize_t got = pread(fd, first, sizeof first, 0);
	if (got < 0)
		return 1;
	long oldest = got == static_cast<ssize_t>(sizeof first) ? proc_line_seconds(first) : -1;
	// A reading far past the record's last line may be a clock stepped
	// forward: lines are old by the last line's time, 48 days at most
	// before the reading, not by the reading alone.
	char last[sizeof_names_line];
	struct stat now = {};
	long newest = fstat(fd, &now) == 0 && now.st_size >= static_cast<off_t>(sizeof last) &&
	                              pread(fd, last, sizeof last,
	                                    now.st_size - static_cast<off_t>(sizeof last)) ==
	                                      static_cast<ssize_t>(sizeof last)
	                      ? proc_line_seconds(last)
	                      : -1;
	if (oldest < 0 || seconds - oldest <= names_rewritten)
		return proc_write_all(fd, line, sizeof_names_line) != 0 || fdatasync(fd) != 0 ? 1
		                                                                              : 0;
	struct stat st = {};
	Text all = {nullptr, 0};
	if (fstat(fd, &st) != 0 || proc_read_all(fd, st.st_size, &all) != 0) {
		free(all.bytes);
		return 1;
	}
	// The lines kept move to the front, the new one after them.
	Text kept = {all.bytes, 0};
	const long reference =
	        newest >= 0 && newest + names_kept < seconds ? newest + names_kept : seconds;
	for (size_t at = 0, next = 0; at < all.size; at = next) {
		next = proc_next_line(all, at);
		long t = next - at == sizeof_names_line ? proc_line_seconds(all.bytes + at) : -1;
		if (t >= 0 && reference - t < names_kept) {
			memmove(kept.bytes + kept.size, all.bytes + at, sizeof_names_line);
			kept.size += sizeof_names_line;
		}
	}
	int failed = 0;
	if (kept.size + sizeof_names_line > all.size + 1) {
		failed = 1; // cannot happen: a line was dropped, or the text has room
		errno = EINVAL;
	} else {
		memcpy(kept.bytes + kept.size, line, sizeof_names_line);
		kept.size += sizeof_names_line;
		failed = proc_rewrite_names(kept);
	}
	// In a sticky folder only the record's owner may replace it: the
	// others append, and the record waits for her rewrite.
	if (failed != 0)
		failed = proc_write_all(fd, line, sizeof_names_line) != 0 || fdatasync(fd) != 0 ? 1
		                                                                                : 0;
	int e = errno;
	free(all.bytes);
	errno = e;
	return failed;
}

// Opens the record and takes its lock, waiting max_lock_wait seconds at
// most: a lock held longer is another's doing, not a conversion's. A
// record renamed over meanwhile (a rewrite) is opened again, so that no
// line goes to a file no longer named. Returns the descriptor, or -1 with
// errno.
static int proc_lock_record(void)
{
	const int flags = O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
	for (long tries = 0; tries < max_lock_wait * 10; tries++) {
		int fd = open(names_name, flags, 0666);
		if (fd < 0)
			return -1;
		struct stat opened = {};
		struct stat named = {};
		if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
			if (fstat(fd, &opened) == 0 && stat(names_name, &named) == 0 &&
			    opened.st_ino == named.st_ino && opened.st_dev == named.st_dev)
				return fd;
			(void)close(fd);
			continue;
		}
		int e = errno;
		(void)close(fd);
		if (e != EWOULDBLOCK && e != EINTR) {
			errno = e;
			return -1;
		}
		struct timespec tenth = {0, 100000000L};
		(void)nanosleep(&tenth, nullptr);
	}
	errno = EWOULDBLOCK;
	return -1;
}

// Records that name was given at the reading seconds, under the record's
// lock. Returns 0, or 1 with errno.
int proc_name_record(const char *name, long seconds)
{
	char line[64];
	snprintf(line, sizeof line, "%010ld %.14s\n", seconds, name);
	int failed = 1;
	int fd = proc_lock_record();
	struct stat st = {};
	if (fd >= 0 && fstat(fd, &st) == 0) {
		errno = EINVAL;
		if (S_ISREG(st.st_mode)) {
			proc_share_record(fd);
			failed = proc_add_line(fd, line, seconds);
		}
	}
	int e = errno;
	if (fd >= 0 && close(fd) != 0 && failed == 0) { // and with it the lock
		failed = 1;
		e = errno;
	}
	errno = e;
	return failed;
}
