// kelvane-send: the command line and the driver. It converts a message
// with kelvane, queues the bulletin, and forwards the queue to the gateway
// in conversion order, in client sessions of up to 100 bulletins.
//
// Converting and queueing take the queue's lock, kelvane-send.lock;
// sending takes the send's, kelvane-send.send.lock, which the clients hold
// too, so that a conversion never waits for a send. The gateway takes a
// file the moment it appears, so each bulletin is uploaded under a dot
// name and renamed; it is delivered when the rename is accepted. A
// bulletin the gateway refuses for good, while it takes a probe of the
// run's own, is held, and the rest go on, but for those of its heading: a
// correction never overtakes what it corrects. A gateway that takes
// nothing holds nothing. Status 0: delivered; 75: the gateway could not be
// reached or refused for now, or a member queued for the sending account;
// 1: a person must look. The last line says what happened and what waits.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

#include "send.h"

static const char queue_lock_name[] = "kelvane-send.lock";
static const char send_lock_name[] = "kelvane-send.send.lock";

// The command line.
static std::string send_mode; // "convert", "--retry", "--status", "--check", "--release", "--drop"
static std::string send_option, send_file, send_name;
static std::vector<std::string> send_words;
static std::vector<std::string> send_dirs; // -C DIR, each from the one before
static long warn_minutes = 5, critical_minutes = 15;

static int proc_usage(const std::string &why)
{
	proc_say("usage: kelvane-send [-C DIR] OPTION FILE [GATEWAY]");
	proc_say("       kelvane-send [-C DIR] --retry [GATEWAY]");
	proc_say("       kelvane-send [-C DIR] --status");
	proc_say("       kelvane-send [-C DIR] --check [--warn MINUTES] [--critical MINUTES]");
	proc_say("       kelvane-send [-C DIR] --release BULLETIN");
	proc_say("       kelvane-send [-C DIR] --drop BULLETIN");
	proc_say("GATEWAY: ftp HOST [PORT], or sftp [SFTP-OPTION...] USER@HOST; without it,");
	proc_say("the KELVANE_SEND_GATEWAY line of kelvane-send.conf; -C DIR: work in DIR");
	proc_say("FAILED: usage: " + why);
	return 1;
}

// Ends the run with status and a last line: what happened, then what
// still waits.
static int proc_finish(int status, const std::string &what)
{
	proc_say(what + "; " + proc_queue_state());
	return status;
}

// --check's thresholds, in minutes up to a year; a mistake is UNKNOWN, as
// monitoring expects, and so is a warning above the critical.
static int proc_check_options(const std::vector<std::string> &args)
{
	const long most = 525600;
	for (size_t i = 1; i < args.size(); i += 2) {
		long *value = args[i] == "--warn"       ? &warn_minutes
		              : args[i] == "--critical" ? &critical_minutes
		                                        : nullptr;
		if (value == nullptr || i + 1 == args.size())
			return proc_check_unknown(
			        "usage: kelvane-send [-C DIR] --check [--warn MINUTES] "
			        "[--critical MINUTES], not " +
			        proc_escape(args[i]));
		const std::string &number = args[i + 1];
		char *end = nullptr;
		errno = 0;
		long minutes = strtol(number.c_str(), &end, 10);
		if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos ||
		    errno != 0 || *end != '\0' || minutes > most)
			return proc_check_unknown(
			        "usage: " + args[i] + " takes MINUTES from 0 to " +
			        std::to_string(most) + ", not " + proc_escape(number));
		*value = minutes;
	}
	if (warn_minutes > critical_minutes)
		return proc_check_unknown("usage: --warn " + std::to_string(warn_minutes) +
		                          " is above --critical " +
		                          std::to_string(critical_minutes));
	return 0;
}

// Reads the command line; returns 0, or the status after saying why not.
static int proc_send_command_line(int argc, char **argv)
{
	std::vector<std::string> args(argv + 1, argv + argc);
	// -C DIR before the mode, as git and tar take it.
	while (!args.empty() && args[0] == "-C") {
		if (args.size() < 2)
			return proc_usage("-C needs a DIR");
		send_dirs.push_back(args[1]);
		args.erase(args.begin(), args.begin() + 2);
	}
	if (args.empty())
		return proc_usage("no words given");
	send_mode = args[0];
	if (send_mode == "--status")
		return args.size() == 1 ? 0 : proc_usage("extra word " + proc_escape(args[1]));
	if (send_mode == "--check")
		return proc_check_options(args);
	if (send_mode == "--release" || send_mode == "--drop") {
		if (args.size() != 2)
			return proc_usage(send_mode + " takes one BULLETIN");
		send_name = args[1];
		return 0;
	}
	size_t at = 1;
	if (send_mode != "--retry") {
		if (send_mode[0] == '-')
			return proc_usage("unknown option " + proc_escape(send_mode));
		if (args.size() < 2)
			return proc_usage("option " + proc_escape(send_mode) + " needs a FILE");
		send_option = args[0];
		send_file = args[1];
		send_mode = "convert";
		at = 2;
	}
	send_words.assign(args.begin() + static_cast<long>(at), args.end());
	std::string why;
	if (!send_words.empty() && proc_gateway_words(send_words, &why) != 0)
		return proc_usage(why);
	return 0;
}

// kelvane beside this program (a build folder, /usr/bin), else on the PATH.
static std::string proc_kelvane_path(void)
{
	char self[4096];
	ssize_t got = readlink("/proc/self/exe", self, sizeof self - 1);
	if (got > 0) {
		std::string beside(self, static_cast<size_t>(got));
		beside.replace(beside.rfind('/') + 1, std::string::npos, "kelvane");
		if (access(beside.c_str(), X_OK) == 0)
			return beside;
	}
	return "kelvane";
}

// Runs kelvane on the message under the conversions' lock and relays its
// console; the bulletin is the one kelvane's own line names (TALVEX
// file-name = ...), never what another run may since have put in
// command.txt. Returns kelvane's status; bulletin is "" where no line
// named one.
static int proc_convert(int lock, std::string *bulletin)
{
	static const char named[] = "TALVEX file-name = ";
	bulletin->clear();
	Child kelvane;
	if (proc_start({proc_kelvane_path(), send_option, send_file}, -1, true, lock, false,
	               &kelvane) != 0)
		return 127;
	std::string pending;
	for (bool more = true; more;) {
		std::vector<std::string> lines;
		more = proc_read_lines(&kelvane, &pending, &lines);
		for (const std::string &line : lines) {
			printf("%s\n", line.c_str());
			if (line.compare(0, sizeof named - 1, named) == 0)
				*bulletin = line.substr(sizeof named - 1);
		}
	}
	int status = proc_wait(&kelvane);
	if (!proc_is_bulletin_name(*bulletin))
		bulletin->clear();
	// A conversion whose console cannot be written fails, as kelvane
	// alone would: nobody could tell what it did.
	if (status == 0 && (fflush(stdout) != 0 || ferror(stdout)))
		return 1;
	return status;
}

// In an office, what the conversion reads and writes must be this
// account's own: the message, not a link another member planted in its
// place, and no command.txt of another's, which kelvane could not replace
// in the sticky folder. Returns 0, or 1 with why.
static int proc_office_files(std::string *why)
{
	struct stat st = {};
	int fd = open(send_file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
	bool mine = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid();
	if (fd >= 0)
		(void)close(fd);
	if (!mine && (fd >= 0 || errno == ELOOP)) {
		*why = proc_escape(send_file) + " is a link or not a file of yours: in a shared " +
		       "folder, convert only your own messages";
		return 1;
	}
	if (fstatat(folder_fd, "command.txt", &st, AT_SYMLINK_NOFOLLOW) == 0 &&
	    st.st_uid != geteuid()) {
		*why = "command.txt in " + std::string(proc_folder()) + " is " +
		       proc_escape(proc_account(st.st_uid)) + "'s: " + proc_account(st.st_uid) +
		       " or " + owner_name + " must remove it before others convert";
		return 1;
	}
	return 0;
}

// Store: under the conversions' lock, wait for a second of the seat's
// own, convert, and hand the bulletin over in drop/. kelvane holds the
// lock too while it runs. Returns 0 or the last line's status.
static int proc_store(std::string *bulletin)
{
	int lock = -1;
	std::string why;
	if (proc_lock(queue_lock_name, false, &lock, &why) != 0 ||
	    (office && proc_office_files(&why) != 0))
		return proc_finish(1, "FAILED: " + why + "; nothing converted or sent");
	const std::string converting = "converting " + send_file + " with option " + send_option;
	for (int tries = 1;; tries++) {
		proc_wait_seat();
		proc_say(converting);
		int status = proc_convert(lock, bulletin);
		if (status != 0)
			return proc_finish(1, "FAILED: conversion of " + send_file +
			                              " (kelvane exited " + std::to_string(status) +
			                              "); nothing queued from it");
		if (bulletin->empty())
			return proc_finish(
			        1, "FAILED: kelvane named no bulletin; nothing queued from " +
			                   send_file);
		// kelvane's clock reading landed past the seat's second: that name
		// belongs to another seat, so the bulletin goes and it converts again.
		const std::string &name = *bulletin;
		int second = (name[name.size() - 2] - '0') * 10 + (name[name.size() - 1] - '0');
		if (second % seats == seat - 1)
			break;
		if (unlinkat(folder_fd, bulletin->c_str(), 0) != 0 || tries == 3)
			return proc_finish(
			        1, "FAILED: " + *bulletin + " is outside seat " +
			                   std::to_string(seat) + "/" + std::to_string(seats) +
			                   " and cannot be converted inside it; nothing queued");
		proc_say(*bulletin + " is outside seat " + std::to_string(seat) + "/" +
		         std::to_string(seats) + ": removed, converting again");
	}
	if (proc_hand_over(*bulletin, &why) != 0)
		return proc_finish(1, "FAILED: " + why + "; nothing queued from " + send_file);
	// The next member's kelvane writes command.txt anew: in the sticky
	// folder it could not replace this one.
	if (office)
		(void)unlinkat(folder_fd, "command.txt", 0);
	(void)close(lock);
	if (proc_is_sender())
		proc_say("handed " + *bulletin + " over in drop/");
	return 0;
}

static std::string proc_heading_of(const Entry &e)
{
	return e.heading.substr(0, 11);
}

static int proc_session(const std::vector<const Entry *> &batch, Session *session)
{
	if (batch.size() == 1)
		proc_say("sending " + batch[0]->bulletin + " (" + std::to_string(batch[0]->size) +
		         " bytes) to " + where);
	else
		proc_say("sending " + std::to_string(batch.size()) + " bulletins to " + where);
	if (client == "ftp")
		proc_session_ftp(batch, session);
	else
		proc_session_sftp(batch, session);
	return session->outcome;
}

// A drain of the queue: what it delivered, held and met.
struct Drain {
	size_t delivered = 0;
	std::string last_delivered;
	std::string held; // what this run held, and why
	int stop = 0;     // the failure that stopped it, or 0
	std::string stop_why;
};

// Holds entry for why, or stops the drain where it cannot.
static bool proc_hold_now(Drain *d, const Entry &e, const std::string &why)
{
	if (proc_hold(e, why) != 0) {
		d->stop = 1;
		d->stop_why = "cannot hold " + e.bulletin + " (" + proc_reason(errno) + "), " + why;
		return false;
	}
	d->held += (d->held.empty() ? "" : ", ") + e.bulletin + " (" + why + ")";
	return true;
}

// The next batch: queued bulletins in conversion order, up to 100, but
// for those of a held heading, which stay queued behind it; a bulletin
// that is not whole is held on the way. False when the drain stops.
static bool proc_next_batch(Drain *d, std::vector<const Entry *> *batch)
{
	if (proc_pickup(&d->stop_why) != 0) {
		d->stop = 1;
		return false;
	}
	std::vector<std::string> blocked;
	blocked.reserve(held.size());
	std::transform(held.begin(), held.end(), std::back_inserter(blocked), proc_heading_of);
	for (const Entry &e : queue) {
		bool behind = std::find(blocked.begin(), blocked.end(), proc_heading_of(e)) !=
		              blocked.end();
		if (behind || batch->size() == max_session_bulletins)
			continue;
		if (e.problem.empty()) {
			batch->push_back(&e);
			continue;
		}
		if (!proc_hold_now(d, e, "not whole: " + e.problem))
			return false;
		if (!e.heading.empty())
			blocked.push_back(proc_heading_of(e));
	}
	return true;
}

// One call after a failure the gateway answered: it removes the dot files
// left and, with probe, tells whether the gateway takes a file at all.
static void proc_probe(const std::string &refused, bool probe, Session *result)
{
	if (client == "ftp")
		proc_probe_ftp(refused, probe, result);
	else
		proc_probe_sftp(refused, probe, result);
}

// What the session met. A refusal of one bulletin is settled by a probe:
// taken, the gateway refuses only this bulletin, which is held while the
// rest go on; refused too, the gateway takes nothing now, so the drain
// stops and holds nothing, and the first run once it is mended sends it
// all. An entry removed meanwhile holds nothing either. Any other failure
// stops the drain. A stop leaves a note for --status. False when the
// drain stops.
static bool proc_after_session(Drain *d, const std::vector<const Entry *> &batch,
                               const Session &session)
{
	if (session.outcome == 0)
		return true;
	const Entry &met = *batch[std::min(session.delivered, batch.size() - 1)];
	if (session.outcome == removed_entry) {
		proc_say(session.why + ": not sent, nothing held");
		return true;
	}
	Session probe;
	if (session.answered)
		proc_probe(met.bulletin, session.outcome == refused_bulletin, &probe);
	if (session.outcome == refused_bulletin && probe.outcome == 0)
		return proc_hold_now(d, met, session.why);
	d->stop = session.outcome;
	d->stop_why = session.why;
	if (session.outcome == refused_bulletin) {
		d->stop = probe.outcome;
		d->stop_why = "the gateway refused " + met.bulletin + " (" + session.why +
		              ") and a probe too (" + probe.why +
		              "): it takes nothing now, nothing held";
	}
	if (session.delivered < batch.size())
		(void)proc_write_note(
		        met.dir, met.file + ".failed",
		        proc_utc(time(nullptr), when_format) + " " + d->stop_why + "\n", false);
	return false;
}

// The drain's last line and status: 1 when it held a bulletin or a person
// must act, 75 when the gateway is away for now, 0 when all went out;
// nothing at all from a --retry that had nothing to do.
static int proc_drain_end(const Drain &d, bool quiet)
{
	std::string retry = proc_who_retries();
	std::string stopped =
	        d.stop == 0 ? ""
	        : d.stop == ex_tempfail
	                ? "TEMPFAIL: " + d.stop_why + retry
	                : "FAILED: " + d.stop_why + ", mend that and run kelvane-send --retry";
	if (!d.held.empty())
		return proc_finish(1, "FAILED: held " + d.held +
		                              ": see kelvane-send --status, then --release or "
		                              "--drop it" +
		                              (d.stop != 0 ? "; then " + stopped : ""));
	if (d.stop != 0)
		return proc_finish(d.stop, stopped);
	std::string sent = d.delivered == 1 ? "delivered " + d.last_delivered + " to " + where
	                                    : "delivered " + std::to_string(d.delivered) +
	                                              " bulletins to " + where;
	std::string why;
	if (proc_read_queue(&why) == 0 && (!held.empty() || !queue.empty()))
		return proc_finish(1,
		                   "FAILED: " + (d.delivered != 0 ? sent + ", but " : "") +
		                           "bulletins wait in held/ for a person: see kelvane-send "
		                           "--status, then --release or --drop them");
	if (d.delivered == 0 && quiet)
		return 0;
	return proc_finish(0, sent);
}

// Forward: the queue in conversion order, in sessions of up to 100,
// until it is empty or a failure stops it. The queue is read again before
// each session, so that what was queued meanwhile goes too. The dot names
// the last run left in the send's lock are read before this run takes it,
// and removed by its first call.
static int proc_forward(bool quiet)
{
	std::string why;
	if (proc_lock(send_lock_name, true, &send_lock, &why) != 0)
		return proc_finish(1, "FAILED: " + why);
	proc_read_litter(lock_before);
	proc_add_litter({});
	if (proc_pickup(&why) != 0 || proc_record_unlogged(&why) != 0)
		return proc_finish(1, "FAILED: " + why);
	Drain d;
	for (;;) {
		std::vector<const Entry *> batch;
		if (!proc_next_batch(&d, &batch) || batch.empty())
			break;
		Session session;
		proc_session(batch, &session);
		d.delivered += session.delivered;
		if (session.delivered != 0)
			d.last_delivered = batch[session.delivered - 1]->bulletin;
		if (!proc_after_session(&d, batch, session))
			break;
	}
	// Dot files still left, with nothing to send: removed by a call of
	// their own.
	if (d.stop == 0 && !litter.empty()) {
		Session tidy;
		proc_probe("", false, &tidy);
	}
	proc_archive();
	return proc_drain_end(d, quiet);
}

// Makes the gateway's words the conf's where the command line gave none.
// Returns 0, or 1 after the last line.
static int proc_conf_words(void)
{
	if (!send_words.empty() || conf_gateway.empty())
		return 0;
	std::string why;
	if (proc_gateway_words(conf_gateway, &why) != 0)
		return proc_finish(1, "FAILED: KELVANE_SEND_GATEWAY of kelvane-send.conf: " + why +
		                              "; nothing converted or sent");
	return 0;
}

// Looks at the folder before anything but --check runs, as its owner
// where root started the run: its conf, outbox/, held/ and drop/.
// Returns 0, or the status after the line.
static int proc_check_folder(void)
{
	std::string why;
	if (proc_leave_root(&why) == 0 && proc_open_folder(&why) == 0 &&
	    proc_open_queue(false, &why) == 0)
		return 0;
	proc_say("FAILED: " + why + "; nothing converted or sent");
	return 1;
}

// --release and --drop: by the sending account or root under the send's
// lock; by the member who queued the bulletin, an ask that the sending
// account's next run carries out.
static int proc_held_mode(void)
{
	std::string why;
	const std::string what = send_mode.substr(2);
	if (proc_is_sender() || geteuid() == 0) {
		if (proc_lock(send_lock_name, true, &send_lock, &why) != 0 ||
		    (what == "release" ? proc_release(send_name, &why)
		                       : proc_drop(send_name, proc_account(geteuid()), &why)) != 0)
			return proc_finish(1, "FAILED: " + why);
		return proc_finish(0, why);
	}
	const Entry *e = proc_find_held(send_name, &why);
	if (e == nullptr)
		return proc_finish(1, "FAILED: " + why);
	if (e->owner != geteuid())
		return proc_finish(1, "FAILED: " + e->bulletin + " was queued by " +
		                              proc_account(e->owner) + ": only " +
		                              proc_account(e->owner) + ", " + owner_name +
		                              " or root may " + what + " it");
	const std::string bulletin = e->bulletin;
	if (proc_ask(what, *e, &why) != 0)
		return proc_finish(1, "FAILED: " + why);
	return proc_finish(ex_tempfail, "QUEUED: asked " + owner_name + " to " + what + " " +
	                                        bulletin + ", done at its next run");
}

// Converts, hands over and sends; a member of an office only converts and
// hands over, and the folder's owner sends.
static int proc_convert_and_send(void)
{
	bool sender = proc_is_sender();
	if (!sender && (!office || send_mode == "--retry" || !send_words.empty()))
		return proc_usage(owner_name + " sends this folder's queue" +
		                  (office ? ": a member converts and hands over with kelvane-send "
		                            "OPTION FILE, with no GATEWAY"
		                          : ""));
	int failed = proc_conf_words();
	if (failed != 0)
		return failed;
	if (sender && client.empty())
		return proc_usage(
		        "no GATEWAY, and kelvane-send.conf has no KELVANE_SEND_GATEWAY line");
	std::string why;
	if (sender &&
	    ((client == "ftp" && proc_check_netrc(&why) != 0) || proc_open_queue(true, &why) != 0))
		return proc_finish(1, "FAILED: " + why + "; nothing converted or sent");
	if (!sender && drop_fd < 0)
		return proc_finish(1, "FAILED: " + std::string(proc_folder()) +
		                              "/drop is missing: " + owner_name +
		                              "'s first run makes it (kelvane-send " +
		                              "--retry as " + owner_name +
		                              "); nothing converted or sent");
	// Names free again are archived first, so that their bulletins no
	// longer hold them when kelvane names this one.
	proc_make_folder_files();
	if (sender && send_mode == "convert")
		proc_archive();
	std::string bulletin;
	if (send_mode == "convert" && (failed = proc_store(&bulletin)) != 0)
		return failed;
	if (!sender) {
		proc_say("QUEUED: " + bulletin + " handed over in drop/; " + owner_name +
		         " sends it");
		return ex_tempfail;
	}
	return proc_forward(send_mode == "--retry");
}

// Goes into each -C DIR in turn. Returns 0, or the status after the line.
static int proc_enter_dirs(void)
{
	for (const std::string &dir : send_dirs) {
		if (chdir(dir.c_str()) == 0)
			continue;
		std::string why =
		        "cannot enter " + proc_escape(dir) + " (" + proc_reason(errno) + ")";
		if (send_mode == "--check")
			return proc_check_unknown(why);
		proc_say("FAILED: " + why + "; nothing converted or sent");
		return 1;
	}
	return 0;
}

// Keeps only the absolute folders of PATH: an empty or relative entry
// would run a client from the folder, which members may write.
static void proc_safe_path(void)
{
	const char *path = getenv("PATH");
	std::string kept;
	std::string rest = path != nullptr ? path : "";
	for (size_t at = 0; at <= rest.size();) {
		size_t end = rest.find(':', at);
		if (end == std::string::npos)
			end = rest.size();
		if (end > at && rest[at] == '/')
			kept += (kept.empty() ? "" : ":") + rest.substr(at, end - at);
		at = end + 1;
	}
	(void)setenv("PATH", kept.empty() ? "/usr/bin:/bin" : kept.c_str(), 1);
}

int kelvane_send_main(int argc, char **argv)
{
	if (proc_standard_descriptors() != 0) {
		fputs("kelvane-send: unable to open /dev/null on a closed standard descriptor\n",
		      stderr);
		return 1;
	}
	// A closed reader of the log must not end a delivery half way.
	(void)signal(SIGPIPE, SIG_IGN);
	proc_safe_path();
	int failed = proc_send_command_line(argc, argv);
	if (failed == 0)
		failed = proc_enter_dirs();
	if (failed != 0)
		return failed;
	// --check looks at the folder itself, to tell one that is no queue.
	if (send_mode == "--check")
		return proc_send_check(warn_minutes, critical_minutes);
	failed = proc_check_folder();
	if (failed != 0)
		return failed;
	if (send_mode == "--status")
		return proc_send_status();
	if (send_mode == "--release" || send_mode == "--drop") {
		// Taking the send's lock wrote over the dot names a killed send
		// left there: they are written back.
		failed = proc_held_mode();
		proc_read_litter(lock_before);
		proc_add_litter({});
		return failed;
	}
	return proc_convert_and_send();
}
