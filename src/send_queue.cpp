// The queue on disk. A converted bulletin is queued as a hard link
// outbox/SEQUENCE.BULLETIN, the sequence one more than any queued or held,
// given under the queue's lock and synced with the link: the queue goes
// out in that order, whatever the clock or the file times do. A bulletin
// the gateway has accepted is first marked delivered by a rename inside
// outbox/ (SEQUENCE.BULLETIN.delivered), then written to delivered.log,
// then removed, so that a log that cannot be written never has it sent
// again. A bulletin the gateway refused for good waits in held/ for a
// person. Each step is one file operation, checked and synced.
#include <algorithm>
#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kelvane.h"
#include "send.h"

static const char log_name[] = "delivered.log";
static const char bulletin_pattern[] = "BRAX_[0-3][0-9].[0-2][0-9][0-5][0-9][0-5][0-9]";
static const char delivered_suffix[] = ".delivered";
static const char note_suffix[] = ".failed";
static const unsigned char trailer[] = {'\r', '\r', '\n', '=', '\r', '\r', '\n'};
constexpr size_t sizeof_sequence = 10;
constexpr long long smallest_bulletin =
        sizeof_flag_line + sizeof_wmo_header + sizeof_line_prefix + 1 + sizeof trailer;

std::vector<Entry> queue;
std::vector<Entry> held;
std::vector<Entry> unlogged;
std::vector<std::string> strays;

static bool proc_ends_with(const std::string &text, const char *end)
{
	size_t n = strlen(end);
	return text.size() > n && text.compare(text.size() - n, n, end) == 0;
}

// Whether name has the form kelvane gives a bulletin.
bool proc_is_bulletin_name(const std::string &name)
{
	return fnmatch(bulletin_pattern, name.c_str(), 0) == 0;
}

// SEQUENCE.BULLETIN, SEQUENCE.BULLETIN.delivered, or a BULLETIN queued
// before sequences; fills the entry's names.
static bool proc_parse_entry(const std::string &name, Entry *e)
{
	e->file = name;
	e->delivered = proc_ends_with(name, delivered_suffix);
	std::string rest =
	        e->delivered ? name.substr(0, name.size() - strlen(delivered_suffix)) : name;
	e->sequence = 0;
	if (rest.size() > sizeof_sequence + 1 && rest[sizeof_sequence] == '.' &&
	    rest.find_first_not_of("0123456789") == sizeof_sequence) {
		e->sequence = std::stoll(rest.substr(0, sizeof_sequence));
		rest = rest.substr(sizeof_sequence + 1);
	} else if (e->delivered) {
		return false;
	}
	e->bulletin = rest;
	return proc_is_bulletin_name(rest);
}

// Whether name is the failure note of an entry.
static bool proc_is_note(const std::string &name)
{
	Entry e;
	return proc_ends_with(name, note_suffix) &&
	       proc_parse_entry(name.substr(0, name.size() - strlen(note_suffix)), &e) &&
	       !e.delivered;
}

// Opens the entry without following a link or blocking on a FIFO, and
// checks that it is a whole bulletin: a regular file whose flag line
// carries its size less 18 and that ends with the trailer. Sets its
// size, owner, heading and problem.
static void proc_examine(Entry *e, const struct stat &st)
{
	e->written = st.st_mtim;
	e->size = static_cast<long long>(st.st_size);
	e->owner = st.st_uid;
	e->marked = st.st_ctim.tv_sec;
	if (S_ISLNK(st.st_mode) || !S_ISREG(st.st_mode)) {
		e->problem = S_ISLNK(st.st_mode) ? "it is a symbolic link, not a bulletin"
		                                 : "it is not a regular file";
		return;
	}
	int fd = open(e->path().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0) {
		e->problem = std::string("it cannot be read (") + proc_reason(errno) + ")";
		return;
	}
	char head[sizeof_flag_line + sizeof_wmo_header];
	unsigned char tail[sizeof trailer];
	struct stat now = {};
	bool read_whole =
	        fstat(fd, &now) == 0 && now.st_size >= smallest_bulletin &&
	        pread(fd, head, sizeof head, 0) == static_cast<ssize_t>(sizeof head) &&
	        pread(fd, tail, sizeof tail, now.st_size - static_cast<off_t>(sizeof tail)) ==
	                static_cast<ssize_t>(sizeof tail);
	(void)close(fd);
	e->size = static_cast<long long>(now.st_size);
	if (!read_whole) {
		e->problem =
		        "it is too short for a bulletin (" + std::to_string(e->size) + " bytes)";
		return;
	}
	std::string heading(head + sizeof_flag_line, sizeof_wmo_header);
	if (std::all_of(heading.begin(), heading.end(),
	                [](char c) { return c >= ' ' && c <= '~'; }))
		e->heading = heading;
	char flag[48];
	snprintf(flag, sizeof flag, "####018%06lld####\n", e->size - sizeof_flag_line);
	if (memcmp(head, flag, sizeof_flag_line) != 0)
		e->problem = "its flag line does not carry its size less 18 (" +
		             std::to_string(e->size) + " bytes)";
	else if (memcmp(tail, trailer, sizeof trailer) != 0)
		e->problem = "it does not end with the trailer";
}

// Reads the entries of folder (outbox or held) into list, with their
// names, or fails with why. An entry removed meanwhile is left out.
static int proc_read_folder(const char *folder, std::vector<Entry> *list, std::string *why)
{
	DIR *dir = opendir(folder);
	if (dir == nullptr) {
		if (errno == ENOENT)
			return 0;
		*why = "cannot read " + std::string(proc_folder()) + "/" + folder + " (" +
		       proc_reason(errno) + ")";
		return 1;
	}
	errno = 0;
	for (const struct dirent *d; (d = readdir(dir)) != nullptr; errno = 0) {
		std::string name = d->d_name;
		if (name == "." || name == "..")
			continue;
		Entry e;
		e.folder = folder;
		bool entry = proc_parse_entry(name, &e);
		if (!entry && proc_is_note(name))
			continue;
		struct stat st = {};
		if (lstat(e.path().c_str(), &st) != 0) {
			if (errno == ENOENT)
				continue;
			*why = "cannot examine " + std::string(proc_folder()) + "/" + folder + "/" +
			       proc_escape(name) + " (" + proc_reason(errno) + ")";
			(void)closedir(dir);
			return 1;
		}
		if (!entry) {
			if (strcmp(folder, "outbox") == 0)
				strays.push_back(name);
			continue;
		}
		proc_examine(&e, st);
		(e.delivered ? unlogged : *list).push_back(e);
	}
	int e = errno;
	(void)closedir(dir);
	if (e != 0) {
		*why = "cannot read " + std::string(proc_folder()) + "/" + folder + " (" +
		       proc_reason(e) + ")";
		return 1;
	}
	return 0;
}

static bool proc_before(const Entry &a, const Entry &b)
{
	if (a.sequence != b.sequence)
		return a.sequence < b.sequence;
	if (a.written.tv_sec != b.written.tv_sec)
		return a.written.tv_sec < b.written.tv_sec;
	if (a.written.tv_nsec != b.written.tv_nsec)
		return a.written.tv_nsec < b.written.tv_nsec;
	return a.file < b.file;
}

// Reads outbox/ and held/: the queue in conversion order, what is held,
// what is delivered but not yet logged, and the strays. Returns 0, or 1
// with why: a queue that cannot be read is never taken for empty.
int proc_read_queue(std::string *why)
{
	queue.clear();
	held.clear();
	unlogged.clear();
	strays.clear();
	if (proc_read_folder("outbox", &queue, why) != 0 ||
	    proc_read_folder("held", &held, why) != 0)
		return 1;
	std::sort(queue.begin(), queue.end(), proc_before);
	std::sort(held.begin(), held.end(), proc_before);
	std::sort(unlogged.begin(), unlogged.end(), proc_before);
	std::sort(strays.begin(), strays.end());
	return 0;
}

// What is still queued, held, or delivered but not logged, for the end of
// a last line.
std::string proc_queue_state(void)
{
	std::string why;
	if (proc_read_queue(&why) != 0)
		return "the queue cannot be read";
	std::string state = "nothing queued";
	if (queue.size() == 1)
		state = "1 bulletin queued: " + queue[0].bulletin;
	else if (queue.size() > 1)
		state = std::to_string(queue.size()) + " bulletins queued, the oldest " +
		        queue[0].bulletin;
	if (held.size() == 1)
		state += ", 1 held: " + held[0].bulletin;
	else if (held.size() > 1)
		state += ", " + std::to_string(held.size()) + " held, the oldest " +
		         held[0].bulletin;
	if (!unlogged.empty())
		state += ", " + std::to_string(unlogged.size()) +
		         " delivered but not yet in delivered.log";
	return state;
}

// One more than the sequence of anything queued, held or marked.
static int proc_next_sequence(long long *next, std::string *why)
{
	*next = 1;
	for (const char *folder : {"outbox", "held"}) {
		DIR *dir = opendir(folder);
		if (dir == nullptr) {
			if (errno == ENOENT)
				continue;
			*why = std::string("cannot read ") + folder + " (" + proc_reason(errno) +
			       ")";
			return 1;
		}
		for (const struct dirent *d; (d = readdir(dir)) != nullptr;) {
			Entry e;
			if (proc_parse_entry(d->d_name, &e))
				*next = std::max(*next, e.sequence + 1);
		}
		(void)closedir(dir);
	}
	return 0;
}

// Queues bulletin as outbox/SEQUENCE.BULLETIN, synced before anything is
// sent. Call it under the queue's lock. Returns 0, or 1 with why.
int proc_queue_bulletin(const std::string &bulletin, std::string *why)
{
	long long next = 0;
	if (proc_next_sequence(&next, why) != 0)
		return 1;
	char file[64];
	snprintf(file, sizeof file, "outbox/%010lld.%s", next, bulletin.c_str());
	struct stat st = {};
	if (link(bulletin.c_str(), file) != 0 || proc_sync_path(file) != 0 ||
	    proc_sync_path("outbox") != 0 || stat(file, &st) != 0) {
		*why = "cannot queue " + bulletin + " as " + file + " (" + proc_reason(errno) + ")";
		return 1;
	}
	proc_say("queued " + bulletin + " (" + std::to_string(st.st_size) + " bytes) as " + file);
	return 0;
}

// Writes a note: the failure last seen for an entry, or why it is held.
// A link, FIFO or anything else in its place is removed, never followed.
int proc_write_note(const std::string &path, const std::string &text, bool sync)
{
	if (unlink(path.c_str()) != 0 && errno != ENOENT)
		return 1;
	int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
	if (fd < 0)
		return 1;
	bool failed = write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
	              (sync && fsync(fd) != 0);
	return close(fd) != 0 || failed ? 1 : 0;
}

// The first line of a note, printable, or "" where there is none.
std::string proc_read_note(const std::string &path)
{
	int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0)
		return "";
	struct stat st = {};
	char line[512];
	ssize_t got = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? read(fd, line, sizeof line) : 0;
	(void)close(fd);
	if (got <= 0)
		return "";
	return proc_escape(std::string(line, strcspn(std::string(line, got).c_str(), "\n")));
}

// The line delivered.log gets: time, bulletin, size, where it went (or
// dropped), heading and the account that queued it, printable.
static std::string proc_log_line(const Entry &e, time_t t, const std::string &went)
{
	return proc_printable(proc_utc(t, "%Y-%m-%dT%H:%M:%SZ") + " " + e.bulletin + " " +
	                      std::to_string(e.size) + " bytes " + went + " " +
	                      (e.heading.empty() ? "?" : e.heading) + " " + proc_account(e.owner));
}

// Appends line with one write. A short write means the disk is full: the
// rest of the line is tried to learn why, and the part written is cut off
// again. Returns 0 or the error number; undone is false where the part
// could not be cut off.
static int proc_append_line(int fd, const std::string &line, bool *undone)
{
	off_t before = lseek(fd, 0, SEEK_END);
	ssize_t put = write(fd, line.data(), line.size());
	if (put == static_cast<ssize_t>(line.size()))
		return 0;
	int e = put < 0 ? errno : ENOSPC;
	if (put > 0 && write(fd, line.data() + put, line.size() - put) < 0)
		e = errno;
	if (before < 0 || ftruncate(fd, before) != 0)
		*undone = false;
	return e;
}

// Appends lines to delivered.log, each with one write, and syncs it (and
// the folder, when it made the log). A short write is undone, so that the
// log never holds a part of a line. Returns 0, or 1 with why.
static int proc_write_log(const std::vector<std::string> &lines, std::string *why)
{
	int flags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
	bool made = false;
	bool undone = true;
	int fd = open(log_name, flags);
	if (fd < 0 && errno == ENOENT) {
		fd = open(log_name, flags | O_CREAT | O_EXCL, 0666);
		made = true;
	}
	struct stat st = {};
	int e = fd < 0 ? errno : 0;
	if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1))
		e = errno != 0 ? errno : EINVAL;
	else if (fd >= 0)
		proc_share(fd, st);
	for (size_t i = 0; e == 0 && i < lines.size(); i++)
		e = proc_append_line(fd, lines[i] + "\n", &undone);
	if (e == 0 && fsync(fd) != 0)
		e = errno;
	if (fd >= 0 && close(fd) != 0 && e == 0)
		e = errno;
	if (e == 0 && made && proc_sync_path(".") != 0)
		e = errno;
	if (e == 0)
		return 0;
	*why = std::string("not written to ") + log_name + " (" + proc_reason(e) + ")" +
	       (undone ? "" : ", and a part of its line could not be removed from it");
	return 1;
}

// Removes the marks of entries now in delivered.log, and their notes.
static int proc_unmark(const std::vector<const Entry *> &done, std::string *why)
{
	for (const Entry *e : done) {
		std::string mark = e->delivered ? e->path() : e->path() + delivered_suffix;
		if (unlink(mark.c_str()) != 0 ||
		    (unlink((e->folder + "/" + e->file + note_suffix).c_str()) != 0 &&
		     errno != ENOENT)) {
			*why = "cannot remove " + mark + " (" + proc_reason(errno) + ")";
			return 1;
		}
	}
	if (proc_sync_path("outbox") != 0) {
		*why = std::string("cannot sync outbox (") + proc_reason(errno) + ")";
		return 1;
	}
	return 0;
}

static std::string proc_names(const std::vector<const Entry *> &entries)
{
	std::string names;
	for (const Entry *e : entries)
		names += (names.empty() ? "" : ", ") + e->bulletin;
	return names;
}

// Records bulletins whose rename the gateway accepted: marked delivered,
// then logged, then removed from the queue, with one sync of the log and
// one of outbox/ for all of them. Returns 0, or 1 with why.
static int proc_record(const std::vector<const Entry *> &done, std::string *why)
{
	if (done.empty())
		return 0;
	time_t now = time(nullptr);
	std::vector<std::string> lines;
	for (const Entry *e : done) {
		if (rename(e->path().c_str(), (e->path() + delivered_suffix).c_str()) != 0) {
			*why = e->bulletin + " delivered, but cannot be marked so in outbox/ (" +
			       proc_reason(errno) + "): it may be sent again";
			return 1;
		}
		lines.push_back(proc_log_line(*e, now, where));
	}
	std::string failed;
	if (proc_write_log(lines, &failed) != 0) {
		// The marks keep the bulletins from being sent again.
		bool kept = proc_sync_path("outbox") == 0;
		*why = proc_names(done) + " delivered but " + failed +
		       (kept ? ", marked delivered so as not to be sent again"
		             : " nor marked so on disk: they may be sent again");
		return 1;
	}
	if (proc_unmark(done, why) != 0)
		return 1;
	for (const Entry *e : done)
		proc_say("delivered " + e->bulletin + " (" + std::to_string(e->size) +
		         " bytes) to " + where);
	return 0;
}

// Records what a session's client reported delivered; where that fails,
// the session fails and its client is stopped. Returns 0, or 1.
int proc_record_session(const std::vector<const Entry *> &done, Child *child, Session *session)
{
	session->delivered += done.size();
	if (proc_record(done, &session->why) == 0)
		return 0;
	session->outcome = 1;
	if (child->output >= 0)
		(void)kill(child->pid, SIGTERM);
	return 1;
}

// Whether delivered.log's end already holds the line of entry: a cut
// after the log's sync and before the mark's removal leaves both.
static bool proc_logged(const Entry &e)
{
	int fd = open(log_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0)
		return false;
	char tail[65536];
	struct stat st = {};
	off_t from = fstat(fd, &st) == 0 && st.st_size > static_cast<off_t>(sizeof tail)
	                     ? st.st_size - static_cast<off_t>(sizeof tail)
	                     : 0;
	ssize_t got = pread(fd, tail, sizeof tail, from);
	(void)close(fd);
	std::string text(tail, got > 0 ? static_cast<size_t>(got) : 0);
	return text.find(" " + e.bulletin + " " + std::to_string(e.size) + " bytes ") !=
	       std::string::npos;
}

// Writes the lines of bulletins marked delivered by an earlier run, with
// the time they were marked. Returns 0, or 1 with why.
int proc_record_unlogged(std::string *why)
{
	if (unlogged.empty())
		return 0;
	std::vector<std::string> lines;
	std::vector<const Entry *> done;
	for (const Entry &e : unlogged) {
		done.push_back(&e);
		if (!proc_logged(e))
			lines.push_back(proc_log_line(e, e.marked, where));
	}
	std::string failed;
	if (proc_write_log(lines, &failed) != 0) {
		*why = proc_names(done) + " delivered at " +
		       proc_utc(unlogged[0].marked, when_format) + " but " + failed +
		       ", marked delivered so as not to be sent again: free space or mend it, then "
		       "run kelvane-send --retry";
		return 1;
	}
	if (proc_unmark(done, why) != 0)
		return 1;
	proc_say("wrote the delivered.log line of " + proc_names(done) + ", delivered earlier");
	return 0;
}

// Holds entry: its reason kept in held/ENTRY.failed, then moved there,
// out of the queue's way. Returns 0, or 1.
int proc_hold(const Entry &entry, const std::string &why)
{
	std::string unused;
	std::string file = "held/" + entry.file;
	if (proc_make_queue_folder("held", &unused) != 0 ||
	    proc_write_note(file + note_suffix,
	                    proc_utc(time(nullptr), when_format) + " " + why + "\n", true) != 0 ||
	    rename(entry.path().c_str(), file.c_str()) != 0 || proc_sync_path("held") != 0)
		return 1;
	(void)unlink((entry.path() + note_suffix).c_str());
	return proc_sync_path("outbox");
}

// The held entry of bulletin (its name, or its file's), or nullptr.
static const Entry *proc_find_held(const std::string &bulletin, std::string *why)
{
	if (proc_read_queue(why) != 0)
		return nullptr;
	auto e = std::find_if(held.begin(), held.end(), [&bulletin](const Entry &h) {
		return h.bulletin == bulletin || h.file == bulletin;
	});
	if (e != held.end())
		return &*e;
	*why = proc_escape(bulletin) + " is not held" +
	       (held.empty() ? std::string(": nothing is")
	                     : "; held: " + std::to_string(held.size()) + ", the oldest " +
	                               held[0].bulletin);
	return nullptr;
}

// Puts a held bulletin back into the queue, at its own place in the
// conversion order. Call it under the send's lock. Returns 0 or 1, with
// why saying what it did or why not.
int proc_release(const std::string &bulletin, std::string *why)
{
	const Entry *e = proc_find_held(bulletin, why);
	if (e == nullptr)
		return 1;
	std::string back = "outbox/" + e->file;
	if (rename(e->path().c_str(), back.c_str()) != 0 || proc_sync_path("outbox") != 0 ||
	    (unlink((e->path() + note_suffix).c_str()) != 0 && errno != ENOENT) ||
	    proc_sync_path("held") != 0) {
		*why = "cannot move " + e->path() + " back to " + back + " (" + proc_reason(errno) +
		       ")";
		return 1;
	}
	*why = "released " + e->bulletin + ": queued again as " + back;
	return 0;
}

// Takes a held bulletin out for good, with a line in delivered.log that
// says so and who did it. Call it under the send's lock. Returns 0 or 1,
// with why saying what it did or why not.
int proc_drop(const std::string &bulletin, std::string *why)
{
	const Entry *e = proc_find_held(bulletin, why);
	if (e == nullptr)
		return 1;
	std::string failed;
	if (proc_write_log({proc_log_line(*e, time(nullptr), "dropped") + ", dropped by " +
	                    proc_account(geteuid())},
	                   &failed) != 0) {
		*why = e->bulletin + " " + failed + "; it stays held";
		return 1;
	}
	if (unlink(e->path().c_str()) != 0 ||
	    (unlink((e->path() + note_suffix).c_str()) != 0 && errno != ENOENT) ||
	    proc_sync_path("held") != 0) {
		*why = "cannot remove " + e->path() + " (" + proc_reason(errno) + ")";
		return 1;
	}
	*why = "dropped " + e->bulletin + "; delivered.log says so";
	return 0;
}
