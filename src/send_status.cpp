// What waits, told to a person (--status) and to a monitoring system
// (--check, one line and the exit status of the monitoring plugins'
// convention, with performance data after the bar). Neither takes a lock
// that a send holds, so both answer at once.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "send.h"

static std::string proc_heading(const Entry &e)
{
	return e.heading.empty() ? "heading unreadable" : e.heading;
}

// When bulletin was queued: kelvane names it by the UTC clock when it
// converts it, just before it is queued, so the name is the queue's own
// record. It holds the day of the month and the time: the month is the
// latest that puts it not after changed (a minute of leeway), the
// kernel's time of the entry's last change, which only moves forward.
// A file's times are never read: a member may set them. A name that no
// month makes a date gives changed.
time_t proc_queued_at(const std::string &bulletin, time_t changed)
{
	const size_t at = sizeof "BRAX_" - 1; // DD.HHMMSS
	if (!proc_is_bulletin_name(bulletin))
		return changed;
	auto two = [&bulletin](size_t from) {
		return (bulletin[from] - '0') * 10 + (bulletin[from + 1] - '0');
	};
	int day = two(at);
	int hour = two(at + 3);
	int minute = two(at + 5);
	int second = two(at + 7);
	if (day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59)
		return changed;
	const time_t bound = changed + 60;
	struct tm now = {};
	gmtime_r(&bound, &now);
	for (int back = 0; back <= 12; back++) {
		struct tm t = {};
		t.tm_year = now.tm_year;
		t.tm_mon = now.tm_mon - back;
		t.tm_mday = day;
		t.tm_hour = hour;
		t.tm_min = minute;
		t.tm_sec = second;
		time_t when = timegm(&t);
		struct tm check = {};
		gmtime_r(&when, &check);
		if (check.tm_mday == day && when <= bound)
			return when;
	}
	return changed;
}

// When the entry was queued, by its name and the kernel's time of its
// last change.
static time_t proc_queued(const Entry &e)
{
	struct stat st = {};
	time_t changed = fstatat(e.dir, e.file.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0
	                         ? st.st_ctim.tv_sec
	                         : time(nullptr);
	return proc_queued_at(e.bulletin, changed);
}

static std::string proc_since(const Entry &e)
{
	return proc_utc(proc_queued(e), when_format);
}

// --status: the folder and its seat, then one line per bulletin, oldest
// first: delivered but not logged, queued, held; then each stray file of
// outbox/, left alone. Exits 1 while anything waits.
int proc_send_status(void)
{
	std::string why;
	if (proc_read_queue(&why) != 0) {
		proc_say("FAILED: " + why);
		return 1;
	}
	proc_say(std::string(proc_folder()) + ", seat " + std::to_string(seat) + "/" +
	         std::to_string(seats) + ", sent by " + owner_name);
	for (const Entry &e : unlogged)
		printf("%s %lld bytes, %s, delivered %s, not yet written to delivered.log\n",
		       e.bulletin.c_str(), e.size, proc_heading(e).c_str(),
		       proc_utc(e.marked, when_format).c_str());
	for (const Entry &e : queue) {
		std::string failure = !e.problem.empty()
		                              ? "not whole: " + e.problem
		                              : proc_read_note(e.dir, e.file + ".failed");
		printf("%s %lld bytes, %s, queued since %s, last failure: %s\n", e.bulletin.c_str(),
		       e.size, proc_heading(e).c_str(), proc_since(e).c_str(),
		       proc_printable(failure.empty() ? "none seen" : failure).c_str());
	}
	for (const Entry &e : held) {
		std::string note = proc_read_note(e.dir, e.file + ".failed");
		printf("%s %lld bytes, %s, queued since %s, held: %s\n", e.bulletin.c_str(), e.size,
		       proc_heading(e).c_str(), proc_since(e).c_str(),
		       proc_printable(note.empty() ? "no reason kept" : note).c_str());
	}
	if (drops_hidden)
		proc_say("what members handed over in drop/ only " + owner_name + " sees");
	if (dropped != 0)
		proc_say(std::to_string(dropped) + " handed over in drop/, not yet queued, since " +
		         proc_utc(oldest_dropped, when_format));
	for (const std::string &stray : strays)
		proc_say(stray + "; left alone");
	if (!queue.empty() || !held.empty() || !unlogged.empty() || dropped != 0)
		return 1;
	if (!strays.empty()) {
		proc_say("nothing queued, but " + std::to_string(strays.size()) +
		         " files above are not bulletins: see to them");
		return 1;
	}
	proc_say("nothing queued");
	return 0;
}

// --check's text as a monitoring system takes it: printable, with no bar
// (which would begin the performance data) and no semicolon (which some
// turn into a colon); those are escaped as \xHH too.
static std::string proc_check_text(const std::string &text)
{
	std::string out;
	for (char c : proc_printable(text)) {
		if (c == '|' || c == ';') {
			char hex[8];
			snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(c));
			out += hex;
		} else {
			out += c;
		}
	}
	return out;
}

int proc_check_unknown(const std::string &why)
{
	printf("KELVANE-SEND UNKNOWN: %s\n", proc_check_text(why).c_str());
	return 3;
}

// What a person must see to: held bulletins, or delivered ones that
// delivered.log lacks.
static std::string proc_needs_person(void)
{
	std::string text;
	if (!held.empty()) {
		std::string note = proc_read_note(held[0].dir, held[0].file + ".failed");
		text = std::to_string(held.size()) + " held, " + held[0].bulletin +
		       (note.empty() ? "" : " (" + note + ")");
	} else {
		text = std::to_string(unlogged.size()) +
		       " delivered but not written to delivered.log, " + unlogged[0].bulletin +
		       " the first";
	}
	return text + ", " + std::to_string(queue.size()) + " queued";
}

// Whether the folder is one kelvane-send has worked in, or been set up
// for. Returns 0, or 1 with why.
static int proc_is_queue_folder(std::string *why)
{
	for (const char *name : {"outbox", "held", "drop", "kelvane-send.conf"}) {
		struct stat st = {};
		if (fstatat(folder_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0)
			return 0;
		if (errno != ENOENT) {
			*why = "cannot examine " + std::string(proc_folder()) + "/" + name + " (" +
			       proc_reason(errno) + ")";
			return 1;
		}
	}
	*why = std::string(proc_folder()) +
	       " is not a kelvane-send folder (no outbox/, held/, drop/ or "
	       "kelvane-send.conf): give the folder with -C DIR";
	return 1;
}

static std::string proc_minutes(long seconds)
{
	return std::to_string(seconds / 60) + " min " + std::to_string(seconds % 60) + " s";
}

// --check: OK, WARNING or CRITICAL by the age of the oldest bulletin
// waiting, above the thresholds as the monitoring plugins' ranges alert;
// CRITICAL for anything held or delivered but not logged; UNKNOWN for a
// folder that is no queue or a queue it cannot read. The age counts from
// when the bulletin was queued by its name; one queued ahead of the clock
// (set back since) counts by how far ahead: how long it waited cannot be
// told, and a clock set back that far needs a person too.
// The oldest bulletin waiting, queued, held or handed over: its age in
// seconds (how far ahead, for one queued ahead of the clock), its name.
struct Oldest {
	long age = 0;
	bool ahead = false;
	std::string name;
};

static void proc_older(long age, const std::string &name, Oldest *oldest)
{
	long counted = age < 0 ? -age : age;
	if (oldest->name.empty() || counted > oldest->age) {
		oldest->age = counted;
		oldest->ahead = age < -60;
		oldest->name = name;
	}
}

static Oldest proc_oldest(time_t now)
{
	Oldest oldest;
	for (const std::vector<Entry> *list : {&queue, &held}) {
		for (const Entry &e : *list)
			proc_older(static_cast<long>(now - proc_queued(e)), e.bulletin, &oldest);
	}
	if (dropped != 0)
		proc_older(static_cast<long>(now - oldest_dropped), "handed over in drop/",
		           &oldest);
	return oldest;
}

// Files in outbox/ or drop/ that are not bulletins are never sent: a
// person must see to them.
static std::string proc_strays_text(void)
{
	return ", but " + strays[0] +
	       (strays.size() > 1 ? " and " + std::to_string(strays.size() - 1) + " more" : "");
}

int proc_send_check(long warn_minutes, long critical_minutes)
{
	std::string why;
	if (proc_open_folder(&why) != 0 || proc_is_queue_folder(&why) != 0 ||
	    proc_open_queue(false, &why) != 0 || proc_read_queue(&why) != 0)
		return proc_check_unknown(why);
	// What waits in drop/ counts as queued; where this account may not
	// read drop/, what waits cannot be told.
	if (drops_hidden)
		return proc_check_unknown(std::string("cannot read ") + proc_folder() +
		                          "/drop as " + proc_account(geteuid()) +
		                          ": what waits for the pickup cannot be told");
	const Oldest oldest = proc_oldest(time(nullptr));
	const size_t waiting = queue.size() + dropped;
	long warn = warn_minutes * 60;
	long critical = critical_minutes * 60;
	int level = 0;
	std::string text;
	if (!held.empty() || !unlogged.empty()) {
		level = 2;
		text = proc_needs_person();
	} else if (waiting == 0) {
		text = "nothing queued";
	} else {
		level = oldest.age > critical ? 2 : oldest.age > warn ? 1 : 0;
		text = std::to_string(waiting) + " queued, the oldest " + oldest.name +
		       (oldest.ahead ? " queued " + proc_minutes(oldest.age) +
		                               " ahead of the clock, which was set back since"
		                     : " for " + proc_minutes(oldest.age));
	}
	if (!strays.empty() && level == 0) {
		level = 1;
		text += proc_strays_text();
	}
	static const char *const levels[] = {"OK", "WARNING", "CRITICAL"};
	printf("KELVANE-SEND %s: %s | queued=%zu held=%zu;;0 oldest=%lds;%ld;%ld\n", levels[level],
	       proc_check_text(text).c_str(), waiting, held.size(), oldest.age, warn, critical);
	return level;
}
