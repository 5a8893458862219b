// The queue on disk, the sending account's alone. outbox/ holds its own
// copies of the bulletins handed over, outbox/SEQUENCE.UID.BULLETIN: the
// sequence is given at the pickup, one more than any queued or held, and
// the queue goes out in that order, whatever the clock or the file times
// do; UID is the account that handed the bulletin over. A bulletin the
// gateway has accepted is first marked delivered by a rename inside
// outbox/ (SEQUENCE.UID.BULLETIN.delivered), then written to
// delivered.log, then removed, so that a log that cannot be written never
// has it sent again. A bulletin the gateway refused for good waits in
// held/ for a person. Each step is one file operation, checked and
// synced, on a folder opened once from the folder's descriptor: no name
// a member can change is ever followed.
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
constexpr size_t sizeof_sequence = 10;
constexpr size_t max_uid_digits = 10;

int outbox_fd = -1;
int held_fd = -1;
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

// Reads the UID. that follows a sequence, where there is one, into the
// entry's owner and returns the rest of the name.
static std::string proc_parse_owner(const std::string &rest, Entry *e)
{
	size_t dot = rest.find('.');
	if (dot == 0 || dot > max_uid_digits || rest.find_first_not_of("0123456789") != dot)
		return rest;
	e->owner = static_cast<uid_t>(std::stoul(rest.substr(0, dot)));
	return rest.substr(dot + 1);
}

// SEQUENCE.UID.BULLETIN, a SEQUENCE.BULLETIN or BULLETIN queued by an
// earlier version, each maybe marked .delivered; fills the entry's names.
// The owner is left at -1 where the name does not give it.
static bool proc_parse_entry(const std::string &name, Entry *e)
{
	e->file = name;
	e->owner = static_cast<uid_t>(-1);
	e->delivered = proc_ends_with(name, delivered_suffix);
	std::string rest =
	        e->delivered ? name.substr(0, name.size() - strlen(delivered_suffix)) : name;
	e->sequence = 0;
	if (rest.size() > sizeof_sequence + 1 && rest[sizeof_sequence] == '.' &&
	    rest.find_first_not_of("0123456789") == sizeof_sequence) {
		e->sequence = std::stoll(rest.substr(0, sizeof_sequence));
		rest = proc_parse_owner(rest.substr(sizeof_sequence + 1), e);
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

// Why bytes with this head and tail are not a whole bulletin, or "".
std::string proc_bulletin_problem(const char *head, const unsigned char *tail, long long size)
{
	const std::string bytes = " (" + std::to_string(size) + " bytes)";
	switch (proc_bulletin_shape(head, tail, size)) {
	case shape_short:
		return "it is too short for a bulletin" + bytes;
	case shape_long:
		return "it is too long for a bulletin" + bytes;
	case shape_length:
		return "its flag line does not carry its size less 18" + bytes;
	case shape_trailer:
		return "it does not end with the trailer";
	default:
		return "";
	}
}

// Opens the entry without following a link or blocking on a FIFO, and
// checks that it is a whole bulletin. Sets its size, owner, heading and
// problem.
static void proc_examine(Entry *e, const struct stat &st)
{
	e->written = st.st_mtim;
	e->size = static_cast<long long>(st.st_size);
	if (e->owner == static_cast<uid_t>(-1))
		e->owner = st.st_uid;
	e->marked = st.st_ctim.tv_sec;
	if (!S_ISREG(st.st_mode)) {
		e->problem = S_ISLNK(st.st_mode) ? "it is a symbolic link, not a bulletin"
		                                 : "it is not a regular file";
		return;
	}
	int fd = openat(e->dir, e->file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0) {
		e->problem = std::string("it cannot be read (") + proc_reason(errno) + ")";
		return;
	}
	char head[sizeof_flag_line + sizeof_wmo_header] = {};
	unsigned char tail[sizeof_trailer] = {};
	struct stat now = {};
	bool read_whole =
	        fstat(fd, &now) == 0 && now.st_size >= smallest_bulletin &&
	        pread(fd, head, sizeof head, 0) == static_cast<ssize_t>(sizeof head) &&
	        pread(fd, tail, sizeof tail, now.st_size - static_cast<off_t>(sizeof tail)) ==
	                static_cast<ssize_t>(sizeof tail);
	(void)close(fd);
	e->size = static_cast<long long>(now.st_size);
	std::string heading(head + sizeof_flag_line, sizeof_wmo_header);
	if (read_whole && std::all_of(heading.begin(), heading.end(),
	                              [](char c) { return c >= ' ' && c <= '~'; }))
		e->heading = heading;
	e->problem = read_whole ? proc_bulletin_problem(head, tail, e->size)
	                        : "it is too short for a bulletin (" + std::to_string(e->size) +
	                                  " bytes)";
}

// Reads the entries of folder (outbox or held, open as dir) into list,
// with their names, or fails with why. An entry removed meanwhile is left
// out; a name beginning with a dot is a copy the pickup has not finished.
static int proc_read_folder(int dir, const char *folder, std::vector<Entry> *list, std::string *why)
{
	if (dir < 0)
		return 0;
	DIR *d = proc_list_folder(dir);
	if (d == nullptr) {
		*why = "cannot read " + std::string(proc_folder()) + "/" + folder + " (" +
		       proc_reason(errno) + ")";
		return 1;
	}
	errno = 0;
	for (const struct dirent *de; (de = readdir(d)) != nullptr; errno = 0) {
		std::string name = de->d_name;
		if (name[0] == '.')
			continue;
		Entry e;
		e.dir = dir;
		e.folder = folder;
		bool entry = proc_parse_entry(name, &e);
		if (!entry && proc_is_note(name))
			continue;
		struct stat st = {};
		if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
			if (errno == ENOENT)
				continue;
			*why = "cannot examine " + std::string(proc_folder()) + "/" + folder + "/" +
			       proc_escape(name) + " (" + proc_reason(errno) + ")";
			(void)closedir(d);
			return 1;
		}
		if (!entry) {
			strays.push_back(std::string(folder) + "/" + proc_escape(name) +
			                 " is not a bulletin");
			continue;
		}
		proc_examine(&e, st);
		(e.delivered ? unlogged : *list).push_back(e);
	}
	int e = errno;
	(void)closedir(d);
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

// Opens outbox/, held/ and drop/ from the folder; with make, the sender
// makes outbox/ and drop/ where they are missing. The clients reach the
// queue's files through outbox/'s descriptor, so it stays open in them.
// Returns 0, or 1 with why.
int proc_open_queue(bool make, std::string *why)
{
	if ((outbox_fd < 0 && proc_subfolder("outbox", make, &outbox_fd, why) != 0) ||
	    (held_fd < 0 && proc_subfolder("held", false, &held_fd, why) != 0) ||
	    (drop_fd < 0 && proc_subfolder("drop", make, &drop_fd, why) != 0))
		return 1;
	if (outbox_fd >= 0 && fcntl(outbox_fd, F_SETFD, 0) != 0) {
		*why = std::string("cannot keep outbox open (") + proc_reason(errno) + ")";
		return 1;
	}
	return 0;
}

// Reads outbox/, held/ and drop/: the queue in conversion order, what is
// held, what is delivered but not yet logged, what waits to be picked
// up, and the strays. Returns 0, or 1 with why: a queue that cannot be
// read is never taken for empty.
int proc_read_queue(std::string *why)
{
	queue.clear();
	held.clear();
	unlogged.clear();
	strays.clear();
	if (proc_read_folder(outbox_fd, "outbox", &queue, why) != 0 ||
	    proc_read_folder(held_fd, "held", &held, why) != 0 || proc_read_drops(why) != 0)
		return 1;
	std::sort(queue.begin(), queue.end(), proc_before);
	std::sort(held.begin(), held.end(), proc_before);
	std::sort(unlogged.begin(), unlogged.end(), proc_before);
	std::sort(strays.begin(), strays.end());
	return 0;
}

// What is still queued, held, handed over, or delivered but not logged,
// for the end of a last line.
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
	if (dropped != 0)
		state += ", " + std::to_string(dropped) + " handed over in drop/";
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

// One more than the sequence of anything queued, held or marked, as last
// read.
long long proc_next_sequence(void)
{
	long long next = 1;
	for (const std::vector<Entry> *list : {&queue, &held, &unlogged}) {
		for (const Entry &e : *list)
			next = std::max(next, e.sequence + 1);
	}
	return next;
}

// Writes a note in dir: the failure last seen for an entry, or why it is
// held. Anything in its place is removed, never followed.
int proc_write_note(int dir, const std::string &name, const std::string &text, bool sync)
{
	if (dir < 0 || (unlinkat(dir, name.c_str(), 0) != 0 && errno != ENOENT))
		return 1;
	int fd = openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
	                0666);
	if (fd < 0)
		return 1;
	bool failed = write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
	              (sync && fsync(fd) != 0);
	return close(fd) != 0 || failed ? 1 : 0;
}

// The first line of a note in dir, printable, or "" where there is none.
std::string proc_read_note(int dir, const std::string &name)
{
	int fd =
	        dir < 0 ? -1
	                : openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
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

// Opens delivered.log for appending, from the folder and without
// following a link; it must be the sender's regular file with one name.
// Returns the descriptor, or -1 with the error number in e and made set
// where it was created.
static int proc_open_log(bool *made, int *e)
{
	int flags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
	int fd = openat(folder_fd, log_name, flags);
	if (fd < 0 && errno == ENOENT) {
		fd = openat(folder_fd, log_name, flags | O_CREAT | O_EXCL, 0666);
		*made = true;
	}
	struct stat st = {};
	*e = fd < 0 ? errno : 0;
	if (fd >= 0 && fstat(fd, &st) != 0)
		*e = errno;
	else if (fd >= 0 && (!S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_uid != folder_owner))
		*e = EPERM;
	if (fd >= 0 && *e != 0) {
		(void)close(fd);
		return -1;
	}
	return fd;
}

// Appends lines to delivered.log, each with one write, and syncs it (and
// the folder, when it made the log). A log of an earlier month first moves
// into the archive. A short write is undone, so that the
// log never holds a part of a line. Returns 0, or 1 with why.
static int proc_write_log(const std::vector<std::string> &lines, std::string *why)
{
	proc_archive_log();
	bool made = false;
	bool undone = true;
	int e = 0;
	errno = 0;
	int fd = proc_open_log(&made, &e);
	for (size_t i = 0; e == 0 && i < lines.size(); i++)
		e = proc_append_line(fd, lines[i] + "\n", &undone);
	if (e == 0 && fsync(fd) != 0)
		e = errno;
	if (fd >= 0 && close(fd) != 0 && e == 0)
		e = errno;
	if (e == 0 && made && fsync(folder_fd) != 0)
		e = errno;
	if (e == 0)
		return 0;
	*why = std::string("not written to ") + log_name + " (" +
	       (e == EPERM ? "it is not a file of " + owner_name + "'s own"
	                   : std::string(proc_reason(e))) +
	       ")" + (undone ? "" : ", and a part of its line could not be removed from it");
	return 1;
}

// Removes the marks of entries now in delivered.log, and their notes.
static int proc_unmark(const std::vector<const Entry *> &done, std::string *why)
{
	for (const Entry *e : done) {
		std::string mark = e->delivered ? e->file : e->file + delivered_suffix;
		if (unlinkat(outbox_fd, mark.c_str(), 0) != 0 ||
		    (unlinkat(outbox_fd, (e->file + note_suffix).c_str(), 0) != 0 &&
		     errno != ENOENT)) {
			*why = "cannot remove outbox/" + mark + " (" + proc_reason(errno) + ")";
			return 1;
		}
	}
	if (fsync(outbox_fd) != 0 && errno != EINVAL) {
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

// The note beside an entry, SEQUENCE.BULLETIN.failed, that holds its
// delivered.log line from the moment it is marked delivered until the line
// is in the log: a later run then writes the line as it was, with the time
// the gateway accepted the bulletin and the gateway's own address.
static std::string proc_line_note(const Entry &e)
{
	std::string file =
	        e.delivered ? e.file.substr(0, e.file.size() - strlen(delivered_suffix)) : e.file;
	return file + note_suffix;
}

// Records bulletins whose rename the gateway accepted: marked delivered,
// their lines kept beside them, then logged, then removed from the queue,
// with one sync of the log and one of outbox/ for all of them. Returns 0,
// or 1 with why.
static int proc_record(const std::vector<const Entry *> &done, std::string *why)
{
	if (done.empty())
		return 0;
	time_t now = time(nullptr);
	std::vector<std::string> lines;
	for (const Entry *e : done) {
		lines.push_back(proc_log_line(*e, now, where));
		// Without its note, a line written later is made from the mark.
		(void)proc_write_note(outbox_fd, proc_line_note(*e), lines.back() + "\n", false);
		if (renameat(outbox_fd, e->file.c_str(), outbox_fd,
		             (e->file + delivered_suffix).c_str()) != 0) {
			*why = e->bulletin + " delivered, but cannot be marked so in outbox/ (" +
			       proc_reason(errno) + "): it may be sent again";
			return 1;
		}
	}
	std::string failed;
	if (proc_write_log(lines, &failed) != 0) {
		// The marks keep the bulletins from being sent again, the synced
		// notes their lines; a note that cannot be written leaves the line
		// to be made from the mark.
		for (size_t i = 0; i < done.size(); i++)
			(void)proc_write_note(outbox_fd, proc_line_note(*done[i]), lines[i] + "\n",
			                      true);
		bool kept = fsync(outbox_fd) == 0;
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

// Whether delivered.log's end already holds line, the line of entry: a
// cut after the log's sync and before the mark's removal leaves both. The
// line is the one kept beside the entry, time and gateway included; a mark
// without one (made by an earlier version) is found by its bulletin and
// size in a line no older than the entry's file.
static bool proc_logged(const Entry &e, const std::string &line, bool kept)
{
	int fd = openat(folder_fd, log_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0)
		return false;
	char tail[65536];
	struct stat st = {};
	off_t from = fstat(fd, &st) == 0 && st.st_size > static_cast<off_t>(sizeof tail)
	                     ? st.st_size - static_cast<off_t>(sizeof tail)
	                     : 0;
	ssize_t got = pread(fd, tail, sizeof tail, from);
	(void)close(fd);
	std::string text = "\n" + std::string(tail, got > 0 ? static_cast<size_t>(got) : 0);
	if (kept)
		return text.find("\n" + line + "\n") != std::string::npos;
	const std::string alike = " " + e.bulletin + " " + std::to_string(e.size) + " bytes ";
	const std::string since = proc_utc(e.written.tv_sec, "%Y-%m-%dT%H:%M:%SZ");
	for (size_t at = text.find(alike); at != std::string::npos; at = text.find(alike, at + 1)) {
		size_t start = text.rfind('\n', at) + 1;
		if (at - start == since.size() && text.compare(start, since.size(), since) >= 0)
			return true;
	}
	return false;
}

// The delivered.log line kept beside an entry marked delivered, or "".
static std::string proc_kept_line(const Entry &e)
{
	std::string note = proc_read_note(outbox_fd, proc_line_note(e));
	const std::string named = " " + e.bulletin + " " + std::to_string(e.size) + " bytes ";
	return note.size() > 20 && note[10] == 'T' && note.compare(20, named.size(), named) == 0
	               ? note
	               : "";
}

// Writes the lines of bulletins marked delivered by an earlier run: as
// kept beside them, else with the time they were marked. Returns 0, or 1
// with why.
int proc_record_unlogged(std::string *why)
{
	if (unlogged.empty())
		return 0;
	std::vector<std::string> lines;
	std::vector<const Entry *> done;
	for (const Entry &e : unlogged) {
		done.push_back(&e);
		std::string line = proc_kept_line(e);
		bool kept = !line.empty();
		if (!kept)
			line = proc_log_line(e, e.marked, where);
		if (!proc_logged(e, line, kept))
			lines.push_back(line);
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
	for (const Entry *e : done)
		(void)unlinkat(outbox_fd, proc_line_note(*e).c_str(), 0); // never read again
	proc_say("wrote the delivered.log line of " + proc_names(done) + ", delivered earlier");
	return 0;
}

// Holds entry: its reason kept in held/ENTRY.failed, then moved there,
// out of the queue's way. Returns 0, or 1 with errno.
int proc_hold(const Entry &entry, const std::string &why)
{
	std::string unused;
	if ((held_fd < 0 && proc_subfolder("held", true, &held_fd, &unused) != 0) ||
	    proc_write_note(held_fd, entry.file + note_suffix,
	                    proc_utc(time(nullptr), when_format) + " " + why + "\n", true) != 0 ||
	    renameat(outbox_fd, entry.file.c_str(), held_fd, entry.file.c_str()) != 0 ||
	    fsync(held_fd) != 0)
		return 1;
	(void)unlinkat(outbox_fd, (entry.file + note_suffix).c_str(), 0);
	return fsync(outbox_fd);
}

// The held entry of bulletin (its name, or its file's), or nullptr.
const Entry *proc_find_held(const std::string &bulletin, std::string *why)
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
	if (renameat(held_fd, e->file.c_str(), outbox_fd, e->file.c_str()) != 0 ||
	    fsync(outbox_fd) != 0 ||
	    (unlinkat(held_fd, (e->file + note_suffix).c_str(), 0) != 0 && errno != ENOENT) ||
	    fsync(held_fd) != 0) {
		*why = "cannot move " + e->name() + " back to outbox/ (" + proc_reason(errno) + ")";
		return 1;
	}
	*why = "released " + e->bulletin + ": queued again as outbox/" + e->file;
	return 0;
}

// Takes a held bulletin out for good, with a line in delivered.log that
// says so and who did it. Call it under the send's lock. Returns 0 or 1,
// with why saying what it did or why not.
int proc_drop(const std::string &bulletin, const std::string &by, std::string *why)
{
	const Entry *e = proc_find_held(bulletin, why);
	if (e == nullptr)
		return 1;
	std::string failed;
	if (proc_write_log({proc_log_line(*e, time(nullptr), "dropped") + ", dropped by " +
	                    proc_escape(by)},
	                   &failed) != 0) {
		*why = e->bulletin + " " + failed + "; it stays held";
		return 1;
	}
	if (unlinkat(held_fd, e->file.c_str(), 0) != 0 ||
	    (unlinkat(held_fd, (e->file + note_suffix).c_str(), 0) != 0 && errno != ENOENT) ||
	    fsync(held_fd) != 0) {
		*why = "cannot remove " + e->name() + " (" + proc_reason(errno) + ")";
		return 1;
	}
	*why = "dropped " + e->bulletin + "; delivered.log says so";
	return 0;
}
