// kelvane-send: converts a message with kelvane, keeps the bulletin queued
// until the gateway has confirmed it, and forwards the queue in conversion
// order. One run per process, one thread: the procedures share the
// file-scope state declared here.
#ifndef KELVANE_SEND_H
#define KELVANE_SEND_H

#include <ctime>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

#include "system.h"

constexpr int ex_tempfail = 75; // as mail transfer agents use it: try later
// Outcomes, never exit statuses. The gateway refused this bulletin for good
// (its upload or rename): a probe tells whether it takes anything at all,
// and only then is the bulletin held while the rest go on.
constexpr int refused_bulletin = 2;
// The entry left outbox/ while it was being sent (a person removed it):
// nothing to hold, and the rest go on.
constexpr int removed_entry = 3;
// The most bulletins one client session sends, so that a slow session
// does not keep newer warnings waiting for long.
constexpr size_t max_session_bulletins = 100;

// The command line and the driver (send.cpp).
int kelvane_send_main(int argc, char **argv);

// kelvane-send's lines and times (send_text.cpp).
void proc_say(const std::string &line);
// A name or a note as one printable line: odd bytes and backslashes as \xHH.
std::string proc_escape(const std::string &text);
// A line as printed: every byte outside printable ASCII as \xHH, so that a
// terminal or a reader of the line never obeys text from outside.
std::string proc_printable(const std::string &line);
std::string proc_utc(time_t t, const char *format);
// How --status, notes and last lines give a time.
constexpr char when_format[] = "%Y-%m-%d %H:%M:%S UTC";

// Root's first step in a folder of another account: becoming that
// account (send_account.cpp).
int proc_leave_root(std::string *why);

// The gateway's words and the login curl uses (send_gateway.cpp).
extern const char incoming[];
extern std::string client;                 // "ftp" or "sftp"
extern std::string ftp_host;               // ftp
extern std::string ftp_url;                // ftp: the incoming folder, from the root
extern std::vector<std::string> sftp_args; // sftp: the client's own, then USER@HOST
extern std::string gateway;                // HOST[:PORT] or USER@HOST, for the console
extern std::string where;                  // the incoming folder as a URL
int proc_gateway_words(const std::vector<std::string> &words, std::string *why);
int proc_check_netrc(std::string *why);

// The folder: who shares it, its kelvane-send.conf, its seat and locks
// (send_folder.cpp). Everything under it is opened from its descriptor,
// without following links, and checked after it is opened.
extern bool office;                           // a group shares the folder
extern uid_t folder_owner;                    // the account that sends
extern gid_t folder_group;                    // the office's group
extern std::string owner_name;                // its name
extern int folder_fd;                         // the folder, opened once
extern std::vector<std::string> conf_gateway; // KELVANE_SEND_GATEWAY's words
extern int seat;                              // KELVANE_SEND_SEAT=K/N, else 1/1
extern int seats;
extern int send_lock;           // the send's lock, which the clients hold too
extern std::string lock_before; // what the send's lock held when this run took it
int proc_open_folder(std::string *why);
int proc_subfolder(const char *name, bool make, int *fd, std::string *why);
int proc_lock(const char *name, bool sending, int *fd, std::string *why);
void proc_make_folder_files(void);
bool proc_is_sender(void);
bool proc_is_member(uid_t uid);
long proc_seat_second(long from);
void proc_wait_seat(void);
// Who tries again after a failure for now, as the last line says it.
std::string proc_who_retries(void);
std::string proc_account(uid_t uid);
std::string proc_group_name(gid_t gid);

// The queue on disk: outbox/, held/, delivered.log (send_queue.cpp).
struct Entry {
	int dir = -1;         // the descriptor of its folder
	std::string folder;   // "outbox" or "held"
	std::string file;     // SEQUENCE.UID.BULLETIN, SEQUENCE.BULLETIN, or BULLETIN
	std::string bulletin; // BRAX_DD.HHMMSS
	long long sequence;   // 0 before sequences: those go first
	struct timespec written;
	long long size;
	uid_t owner;         // the account that queued it
	std::string heading; // TTAAii CCCC DDHHMM, or "" where it cannot be read
	std::string problem; // why it is not a whole bulletin, or ""
	bool delivered;      // accepted by the gateway, not yet in delivered.log
	time_t marked;       // when it was marked delivered
	// The file as a child reaches it: through the folder's descriptor,
	// which kelvane-send opened and checked, never through a name in the
	// folder that a member could change.
	std::string path(void) const { return "/dev/fd/" + std::to_string(dir) + "/" + file; }
	// The file as lines name it.
	std::string name(void) const { return folder + "/" + file; }
};
extern int outbox_fd;                   // outbox/, which the clients reach too
extern int held_fd;                     // held/
extern std::vector<Entry> queue;        // outbox/, in conversion order
extern std::vector<Entry> held;         // held/, in conversion order
extern std::vector<Entry> unlogged;     // delivered, not yet in delivered.log
extern std::vector<std::string> strays; // files that are none of these, and why
int proc_open_queue(bool make, std::string *why);
int proc_read_queue(std::string *why);
std::string proc_queue_state(void);
long long proc_next_sequence(void);
std::string proc_bulletin_problem(const char *head, const unsigned char *tail, long long size);
int proc_record_unlogged(std::string *why);
int proc_hold(const Entry &entry, const std::string &why);
int proc_write_note(int dir, const std::string &name, const std::string &text, bool sync);
std::string proc_read_note(int dir, const std::string &name);
const Entry *proc_find_held(const std::string &bulletin, std::string *why);
int proc_release(const std::string &bulletin, std::string *why);
int proc_drop(const std::string &bulletin, const std::string &by, std::string *why);
bool proc_is_bulletin_name(const std::string &name);

// The hand-over: a converted bulletin copied into drop/, and the
// sender's pickup of what was dropped into outbox/ (send_drop.cpp).
extern int drop_fd;           // drop/
extern size_t dropped;        // bulletins in drop/ that wait for the pickup
extern time_t oldest_dropped; // when the oldest of them was dropped
extern bool drops_hidden;     // drop/ is the sender's to read, not this run's
int proc_hand_over(const std::string &bulletin, std::string *why);
int proc_read_drops(std::string *why);
int proc_pickup(std::string *why);
int proc_ask(const std::string &what, const Entry &entry, std::string *why);

// Running a child (send_child.cpp).
struct Child {
	pid_t pid = -1;
	int output = -1; // its standard output and error, where collected
	int signal = 0;  // the signal that ended it, once waited for
};
int proc_start(const std::vector<std::string> &argv, int input, bool collect, int lock,
               bool dies_with_us, Child *child);
int proc_wait(Child *child);
bool proc_read_lines(Child *child, std::string *pending, std::vector<std::string> *lines);
// How a client that ended without its own word ended: "curl exited 3", or
// "curl was killed by signal 9 (Killed)".
std::string proc_ended(const char *name, const Child &child, int status);

// One client session: sends batch in order, recording each bulletin as
// the client reports its rename accepted (send_ftp.cpp, send_sftp.cpp).
struct Session {
	size_t delivered = 0; // how many of the batch, from the first
	int outcome =
	        0; // 0, ex_tempfail, 1, refused_bulletin or removed_entry for batch[delivered]
	std::string why;
	bool answered = false; // the gateway refused a command after the login, so a call
	                       // of its own can remove the dot file the failure left
};
void proc_session_ftp(const std::vector<const Entry *> &batch, Session *session);
void proc_session_sftp(const std::vector<const Entry *> &batch, Session *session);
// After a failure the gateway answered: one call that removes the dot
// files left (litter) and, with probe, uploads, renames and removes a
// file of the run's own under dot names after refused (a bulletin). Its
// outcome: 0 where the probe was taken (or there was none), else why not,
// ex_tempfail where the gateway says later (4xx, 552).
void proc_probe_ftp(const std::string &refused, bool probe, Session *result);
void proc_probe_sftp(const std::string &refused, bool probe, Session *result);
int proc_record_session(const std::vector<const Entry *> &done, Child *child, Session *session);
int proc_ftp_outcome(int status, const std::string &code, const std::string &reply,
                     const std::string &name, std::string *why);

// The archive: delivered bulletins whose names are free again, and
// delivered.log of the months before, in archive/YYYY-MM/, kept for
// keep_days (send_archive.cpp).
extern long keep_days; // KELVANE_SEND_KEEP_DAYS
void proc_archive(void);
void proc_archive_log(void);

// The dot names a call may leave at the gateway, kept in the send's lock
// after the pid, so that the next run removes those of a run killed
// (send_litter.cpp).
extern std::vector<std::string> litter;
std::string proc_dot_name(const std::string &bulletin);
std::string proc_probe_name(const std::string &bulletin);
void proc_read_litter(const std::string &text);
void proc_add_litter(const std::vector<std::string> &names);
void proc_remove_litter(const std::vector<std::string> &names);
int proc_probe_file(void);

// What waits, for a person and for monitoring (send_status.cpp).
int proc_send_status(void);
int proc_send_check(long warn_minutes, long critical_minutes);
// --check's UNKNOWN line, its text made safe for a monitoring system; 3.
int proc_check_unknown(const std::string &why);
// When bulletin was queued by the queue's own record: the UTC day and
// time of its name, in the latest month that puts it not after changed,
// the kernel's time of the entry's last change, which nobody can set back.
time_t proc_queued_at(const std::string &bulletin, time_t changed);

#endif
