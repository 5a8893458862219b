// What waits, told to a person (--status) and to a monitoring system
// (--check, one line and the exit status of the monitoring plugins'
// convention, with performance data after the bar). Neither takes a lock
// that a send holds, so both answer at once.
#include <cstdio>
#include <ctime>

#include "send.h"

static std::string proc_heading(const Entry &e)
{
	return e.heading.empty() ? "heading unreadable" : e.heading;
}

static std::string proc_since(const Entry &e)
{
	return proc_utc(e.written.tv_sec, when_format);
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
		       failure.empty() ? "none seen" : failure.c_str());
	}
	for (const Entry &e : held) {
		std::string note = proc_read_note(e.dir, e.file + ".failed");
		printf("%s %lld bytes, %s, queued since %s, held: %s\n", e.bulletin.c_str(), e.size,
		       proc_heading(e).c_str(), proc_since(e).c_str(),
		       note.empty() ? "no reason kept" : note.c_str());
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
	return text + "; " + std::to_string(queue.size()) + " queued";
}

// --check: OK, WARNING or CRITICAL by the age of the oldest bulletin
// waiting (queued, from when it was queued), CRITICAL for anything held
// or delivered but not logged, UNKNOWN for a queue it cannot read.
int proc_send_check(long warn_minutes, long critical_minutes)
{
	std::string why;
	if (proc_read_queue(&why) != 0) {
		printf("KELVANE-SEND UNKNOWN: %s\n", why.c_str());
		return 3;
	}
	time_t now = time(nullptr);
	long oldest = 0;
	std::string oldest_name;
	for (const std::vector<Entry> *list : {&queue, &held}) {
		for (const Entry &e : *list) {
			long age = static_cast<long>(now - e.written.tv_sec);
			if (oldest_name.empty() || age > oldest) {
				oldest = age > 0 ? age : 0;
				oldest_name = e.bulletin;
			}
		}
	}
	long warn = warn_minutes * 60;
	long critical = critical_minutes * 60;
	int level = 0;
	std::string text;
	if (!held.empty() || !unlogged.empty()) {
		level = 2;
		text = proc_needs_person();
	} else if (queue.empty()) {
		text = "nothing queued";
	} else {
		level = oldest >= critical ? 2 : oldest >= warn ? 1 : 0;
		text = std::to_string(queue.size()) + " queued, the oldest " + oldest_name +
		       " for " + std::to_string(oldest / 60) + " min " +
		       std::to_string(oldest % 60) + " s";
	}
	static const char *const levels[] = {"OK", "WARNING", "CRITICAL"};
	printf("KELVANE-SEND %s: %s | queued=%zu held=%zu oldest=%lds;%ld;%ld\n", levels[level],
	       text.c_str(), queue.size(), held.size(), oldest, warn, critical);
	return level;
}
