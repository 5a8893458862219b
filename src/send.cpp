// kelvane-send: converts a message with kelvane, keeps the bulletin queued
// until the gateway has confirmed it, and forwards the queue, oldest first.
//
// It works in the current folder, under an exclusive lock on
// kelvane-send.lock there. A converted bulletin is queued as a hard link
// outbox/BULLETIN, synced before anything is sent. The gateway takes a
// file the moment it appears, so each bulletin is uploaded under its name
// with a dot in front and then renamed; it is delivered when the rename is
// accepted, and only then leaves the queue, with a line in delivered.log.
// The queue is sent in conversion order and stops at the first bulletin
// that fails. Status 0: nothing queued any more; 75: the gateway could not
// be reached or refused for now, so a later --retry sends what is queued;
// 1: the conversion failed or the gateway refused in a way that needs a
// person. The last line says what happened and what is still queued.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <spawn.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "kelvane.h"

static const char incoming[] = "/data/talvex/data/";
static const char lock_name[] = "kelvane-send.lock";
static const char log_name[] = "delivered.log";
static const char bulletin_pattern[] = "BRAX_[0-3][0-9].[0-2][0-9][0-5][0-9][0-5][0-9]";
constexpr int ex_tempfail = 75; // as mail transfer agents use it: try later

// The command line.
static std::string send_mode; // "convert", "--retry" or "--status"
static const char *send_option;
static const char *send_file;
static std::string client;                 // "ftp" or "sftp"
static std::string ftp_host, ftp_port;     // ftp
static std::string ftp_url;                // ftp: the incoming folder, from the root
static std::vector<std::string> sftp_args; // sftp: the client's own, then USER@HOST
static std::string gateway;                // HOST[:PORT] or USER@HOST, for the console
static std::string where;                  // the incoming folder as a URL

// A queued bulletin: outbox/NAME, a link to what kelvane wrote.
struct Queued {
	struct timespec written;
	long long size;
	std::string name;
};
static std::vector<Queued> queue;

static void proc_say(const std::string &line)
{
	printf("kelvane-send: %s\n", line.c_str());
}

static int proc_send_usage(void)
{
	proc_say("usage: kelvane-send OPTION FILE ftp HOST [PORT]");
	proc_say("       kelvane-send OPTION FILE sftp [SFTP-OPTION...] USER@HOST");
	proc_say("       kelvane-send --retry ftp HOST [PORT]");
	proc_say("       kelvane-send --retry sftp [SFTP-OPTION...] USER@HOST");
	proc_say("       kelvane-send --status");
	return 1;
}

static bool proc_is_bulletin_name(const char *name)
{
	return fnmatch(bulletin_pattern, name, 0) == 0;
}

// Reads outbox/ into queue, oldest first: by the time kelvane last wrote
// each bulletin (a hard link shares it, and removing the bulletin in the
// folder does not change it), then by name. With strays, lists the files
// that are neither a bulletin nor the failure note of one.
static void proc_read_queue(std::vector<std::string> *strays)
{
	queue.clear();
	DIR *dir = opendir("outbox");
	if (dir == nullptr)
		return;
	for (const struct dirent *e; (e = readdir(dir)) != nullptr;) {
		std::string name = e->d_name;
		if (name == "." || name == "..")
			continue;
		struct stat st = {};
		bool regular = lstat(("outbox/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode);
		if (regular && proc_is_bulletin_name(name.c_str())) {
			queue.push_back({st.st_mtim, static_cast<long long>(st.st_size), name});
			continue;
		}
		const std::string note = ".failed";
		bool is_note =
		        regular && name.size() > note.size() &&
		        name.compare(name.size() - note.size(), note.size(), note) == 0 &&
		        proc_is_bulletin_name(name.substr(0, name.size() - note.size()).c_str());
		if (!is_note && strays != nullptr)
			strays->push_back(name);
	}
	(void)closedir(dir);
	std::sort(queue.begin(), queue.end(), [](const Queued &a, const Queued &b) {
		if (a.written.tv_sec != b.written.tv_sec)
			return a.written.tv_sec < b.written.tv_sec;
		if (a.written.tv_nsec != b.written.tv_nsec)
			return a.written.tv_nsec < b.written.tv_nsec;
		return a.name < b.name;
	});
	if (strays != nullptr)
		std::sort(strays->begin(), strays->end());
}

// Ends the run with status and a last line: what happened, then what is
// still queued.
static int proc_finish(int status, const std::string &what)
{
	proc_read_queue(nullptr);
	std::string left = "nothing queued";
	if (queue.size() == 1)
		left = "1 bulletin queued: " + queue[0].name;
	else if (queue.size() > 1)
		left = std::to_string(queue.size()) + " bulletins queued, the oldest " +
		       queue[0].name;
	proc_say(what + "; " + left);
	return status;
}

// The gateway for ftp: HOST [PORT]. Returns 0, or 1 after the usage text.
static int proc_ftp_gateway(const std::vector<std::string> &rest)
{
	if (rest.size() > 2)
		return proc_send_usage();
	ftp_host = rest[0];
	ftp_port = rest.size() == 2 ? rest[1] : "21";
	bool host_ok =
	        !ftp_host.empty() && ftp_host[0] != '-' &&
	        ftp_host.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
	                                   "0123456789.:_-") == std::string::npos;
	long port = ftp_port.size() <= 5 &&
	                            ftp_port.find_first_not_of("0123456789") == std::string::npos
	                    ? strtol(ftp_port.c_str(), nullptr, 10)
	                    : 0;
	if (!host_ok || port < 1 || port > 65535)
		return proc_send_usage();
	const std::string port_text = rest.size() == 2 ? ":" + ftp_port : "";
	gateway = ftp_host + port_text;
	// An IPv6 address goes in brackets in a URL.
	std::string url_host =
	        ftp_host.find(':') != std::string::npos ? "[" + ftp_host + "]" : ftp_host;
	where = "ftp://" + url_host + port_text + incoming;
	ftp_url = "ftp://" + url_host + ":" + ftp_port + "/%2F" + (incoming + 1);
	return 0;
}

// The gateway for sftp: the client's own arguments, then a connect
// timeout and a check that the connection lives (an option given first
// wins), then USER@HOST. Returns 0, or 1 after the usage text.
static int proc_sftp_gateway(const std::vector<std::string> &rest)
{
	if (rest.back()[0] == '-')
		return proc_send_usage();
	gateway = rest.back();
	sftp_args.assign(rest.begin(), rest.end() - 1);
	for (const char *o : {"ConnectTimeout=30", "ServerAliveInterval=15",
	                      "ServerAliveCountMax=4", "BatchMode=yes"}) {
		sftp_args.emplace_back("-o");
		sftp_args.emplace_back(o);
	}
	sftp_args.push_back(gateway);
	where = "sftp://" + gateway + incoming;
	return 0;
}

// Reads the command line; returns 0, or 1 after the usage text.
static int proc_send_command_line(int argc, char **argv)
{
	std::vector<std::string> args(argv + 1, argv + argc);
	if (args.empty())
		return proc_send_usage();
	size_t at = 1;
	send_mode = args[0];
	if (send_mode == "--status")
		return args.size() == 1 ? 0 : proc_send_usage();
	if (send_mode != "--retry") {
		if (send_mode[0] == '-' || args.size() < 3)
			return proc_send_usage();
		send_option = argv[1];
		send_file = argv[2];
		send_mode = "convert";
		at = 2;
	}
	if (args.size() < at + 2)
		return proc_send_usage();
	client = args[at];
	std::vector<std::string> rest(args.begin() + static_cast<long>(at) + 1, args.end());
	if (client == "ftp")
		return proc_ftp_gateway(rest);
	if (client == "sftp")
		return proc_sftp_gateway(rest);
	return proc_send_usage();
}

// Takes the folder's lock: exclusive, or for --status shared, and then
// only where the lock file may be read. Returns 0 or the last line's
// status.
static int proc_take_lock(void)
{
	bool shared = send_mode == "--status";
	int fd = shared ? open(lock_name, O_RDONLY | O_CLOEXEC)
	                : open(lock_name, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
	if (fd < 0) {
		if (shared)
			return 0;
		return proc_finish(1, "FAILED: cannot open the lock " + std::string(lock_name) +
		                              " in " + std::string(proc_folder()) + " (" +
		                              proc_reason(errno) + "); nothing converted or sent");
	}
	while (flock(fd, shared ? LOCK_SH : LOCK_EX) != 0) {
		if (errno != EINTR)
			return proc_finish(1, "FAILED: cannot take the lock " +
			                              std::string(lock_name) +
			                              "; nothing converted or sent");
	}
	return 0; // held until the process ends
}

// The queue decides what goes to the gateway: refuse one that somebody
// else could put a link into, or replace.
static int proc_check_folder(void)
{
	struct stat st = {};
	if (lstat("outbox", &st) == 0 &&
	    (!S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 022) != 0))
		return proc_finish(1, "FAILED: " + std::string(proc_folder()) +
		                              "/outbox is not a folder of yours that only you may "
		                              "write; nothing converted or sent");
	if (stat(".", &st) == 0 && (st.st_mode & 002) != 0)
		return proc_finish(1,
		                   "FAILED: " + std::string(proc_folder()) +
		                           " may be written by anybody; nothing converted or sent");
	return 0;
}

// --status: one line per queued bulletin, and each stray file of outbox/.
static int proc_send_status(void)
{
	std::vector<std::string> strays;
	proc_read_queue(&strays);
	for (const Queued &q : queue) {
		char since[32];
		struct tm utc = {};
		time_t t = q.written.tv_sec;
		gmtime_r(&t, &utc);
		strftime(since, sizeof since, "%Y-%m-%d %H:%M:%S UTC", &utc);
		std::string failure = "none seen";
		FILE *note = fopen(("outbox/" + q.name + ".failed").c_str(), "r");
		if (note != nullptr) {
			char line[512];
			if (fgets(line, sizeof line, note) != nullptr)
				failure = std::string(line, strcspn(line, "\n"));
			(void)fclose(note);
		}
		printf("%s %lld bytes, queued since %s, last failure: %s\n", q.name.c_str(), q.size,
		       since, failure.c_str());
	}
	for (const std::string &stray : strays)
		proc_say("outbox/" + stray + " is not a bulletin; left alone");
	if (!queue.empty())
		return 1;
	proc_say("nothing queued");
	return 0;
}

// ftp reads its login from ~/.netrc; curl without one would try an
// anonymous login, and one that others can read gives the password away.
static int proc_check_netrc(void)
{
	const char *home = getenv("HOME");
	std::string netrc = std::string(home != nullptr ? home : "") + "/.netrc";
	struct stat st = {};
	if (stat(netrc.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
		return proc_finish(
		        1, "FAILED: no ~/.netrc with the gateway's login (machine " + ftp_host +
		                   " login ... password ...); nothing converted or sent");
	if ((st.st_mode & 077) != 0)
		return proc_finish(1, "FAILED: " + netrc +
		                              " can be read by others (chmod 600 it); nothing "
		                              "converted or sent");
	return 0;
}

// Reads fd to its end into output, and closes it.
static void proc_read_all(int fd, std::string *output)
{
	char chunk[4096];
	for (;;) {
		ssize_t got = read(fd, chunk, sizeof chunk);
		if (got > 0)
			output->append(chunk, static_cast<size_t>(got));
		else if (got == 0 || errno != EINTR)
			break;
	}
	(void)close(fd);
}

// Runs argv and waits for it; returns its exit status, 128 + the signal
// that ended it, or 127 when it could not start. With input, that text is
// its standard input; with output, its standard output (and with
// both_streams its standard error too) is collected there instead of shown.
static int proc_run(const std::vector<std::string> &argv, const std::string *input,
                    std::string *output, bool both_streams)
{
	std::vector<char *> cargv;
	cargv.reserve(argv.size() + 1);
	for (const std::string &a : argv)
		// cppcheck-suppress useStlAlgorithm
		cargv.push_back(const_cast<char *>(a.c_str()));
	cargv.push_back(nullptr);
	int in[2] = {-1, -1};
	int out[2] = {-1, -1};
	// The input is short enough for the pipe's buffer: written whole before
	// the start.
	bool ready = (input == nullptr ||
	              (pipe2(in, O_CLOEXEC) == 0 && write(in[1], input->data(), input->size()) ==
	                                                    static_cast<ssize_t>(input->size()))) &&
	             (output == nullptr || pipe2(out, O_CLOEXEC) == 0);
	posix_spawn_file_actions_t actions;
	posix_spawn_file_actions_init(&actions);
	if (in[0] >= 0)
		posix_spawn_file_actions_adddup2(&actions, in[0], 0);
	if (out[1] >= 0) {
		posix_spawn_file_actions_adddup2(&actions, out[1], 1);
		if (both_streams)
			posix_spawn_file_actions_adddup2(&actions, out[1], 2);
	}
	fflush(stdout);
	pid_t pid = 0;
	int spawned =
	        ready ? posix_spawnp(&pid, cargv[0], &actions, nullptr, cargv.data(), environ) : -1;
	posix_spawn_file_actions_destroy(&actions);
	for (int fd : {in[0], in[1], out[1]}) {
		if (fd >= 0)
			(void)close(fd);
	}
	if (out[0] >= 0)
		proc_read_all(out[0], output);
	if (spawned != 0)
		return 127;
	int status = 0;
	while (waitpid(pid, &status, 0) < 0) {
		if (errno != EINTR)
			return 127;
	}
	return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
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

// The bulletin named by the put line of command.txt, or "".
static std::string proc_script_bulletin(void)
{
	std::string bulletin;
	FILE *script = fopen("command.txt", "r");
	if (script == nullptr)
		return bulletin;
	char line[64];
	while (fgets(line, sizeof line, script) != nullptr) {
		if (strncmp(line, "put ", 4) == 0)
			bulletin = std::string(line + 4, strcspn(line + 4, "\n"));
	}
	(void)fclose(script);
	return proc_is_bulletin_name(bulletin.c_str()) ? bulletin : "";
}

// Store: convert, then queue the bulletin kelvane named in command.txt,
// synced before anything is sent. Returns 0 or the last line's status.
static int proc_store(void)
{
	proc_say(std::string("converting ") + send_file + " with option " + send_option);
	int status =
	        proc_run({proc_kelvane_path(), send_option, send_file}, nullptr, nullptr, false);
	if (status != 0)
		return proc_finish(1, std::string("FAILED: conversion of ") + send_file +
		                              " (kelvane exited " + std::to_string(status) +
		                              "); nothing queued from it");
	std::string bulletin = proc_script_bulletin();
	if (bulletin.empty())
		return proc_finish(1, std::string("FAILED: command.txt names no bulletin; nothing "
		                                  "queued from ") +
		                              send_file);
	std::string entry = "outbox/" + bulletin;
	struct stat st = {};
	if (link(bulletin.c_str(), entry.c_str()) != 0 || proc_sync_path(entry.c_str()) != 0 ||
	    proc_sync_path("outbox") != 0 || stat(entry.c_str(), &st) != 0)
		return proc_finish(1, "FAILED: cannot queue " + bulletin + " as " + entry + " (" +
		                              proc_reason(errno) + ")");
	proc_say("queued " + bulletin + " (" + std::to_string(st.st_size) + " bytes) as " + entry);
	return 0;
}

// What a failed curl call means: ex_tempfail for a gateway that could not
// be reached, broke off or refused for now (a 4xx reply), 1 for a refusal
// that needs a person; why says it. curl's exit status tells the kind of
// failure, its last reply code a refusal for now from one for good.
int proc_ftp_outcome(int status, const std::string &reply, const std::string &name,
                     std::string *why)
{
	if (status == 0)
		return 0;
	if (reply.size() == 3 && reply[0] == '4') {
		*why = gateway + " refused for now (reply " + reply + ")";
		return ex_tempfail;
	}
	const std::string curl_exit = " (curl exit " + std::to_string(status) + ")";
	switch (status) {
	case 6: // host not resolved
	case 7: // not connected
		*why = "cannot reach " + gateway + curl_exit;
		return ex_tempfail;
	case 18: // transfer cut short
	case 28: // timed out
	case 55: // send failed
	case 56: // receive failed
		*why = "the connection to " + gateway + " broke off" + curl_exit;
		return ex_tempfail;
	case 67:
		*why = "login to " + gateway + " refused (reply " + reply + ")";
		return 1;
	case 9:
		*why = "remote folder " + std::string(incoming) + " refused (reply " + reply + ")";
		return 1;
	case 25:
		*why = "upload of ." + name + " refused (reply " + reply + ")";
		return 1;
	case 21:
		*why = "rename of ." + name + " to " + name + " refused (reply " + reply + ")";
		return 1;
	default:
		*why = "curl failed (exit " + std::to_string(status) + ", reply " + reply + ")";
		return 1;
	}
}

// Sends outbox/NAME with curl: uploaded as .NAME, then renamed, in one call.
static int proc_send_ftp(const std::string &name, std::string *why)
{
	std::string reply;
	int status = proc_run({"curl",
	                       "--silent",
	                       "--show-error",
	                       "--netrc",
	                       "--ftp-pasv",
	                       "--connect-timeout",
	                       "30",
	                       "--speed-limit",
	                       "1",
	                       "--speed-time",
	                       "60",
	                       "--write-out",
	                       "%{response_code}",
	                       "--upload-file",
	                       "outbox/" + name,
	                       "--quote",
	                       "-RNFR ." + name,
	                       "--quote",
	                       "-RNTO " + name,
	                       ftp_url + "." + name},
	                      nullptr, &reply, false);
	return proc_ftp_outcome(status, reply, name, why);
}

// Sends outbox/NAME with OpenSSH's sftp: a batch of cd, put and rename,
// which stops at the first command that fails. sftp exits 255 when the
// connection fails or breaks, 1 when a command fails; the commands it
// echoes tell how far it got.
static int proc_send_sftp(const std::string &name, std::string *why)
{
	std::string batch = std::string("cd ") + incoming + "\nput outbox/" + name + " ." + name +
	                    "\nrename ." + name + " " + name + "\n";
	std::vector<std::string> argv = {"sftp", "-b", "-"};
	argv.insert(argv.end(), sftp_args.begin(), sftp_args.end());
	std::string output;
	int status = proc_run(argv, &batch, &output, true);
	fputs(output.c_str(), stdout);
	std::string last; // the last command echoed
	for (size_t at = 0; (at = output.find("sftp> ", at)) != std::string::npos; at++) {
		if (at == 0 || output[at - 1] == '\n')
			last = output.substr(at + 6, output.find('\n', at) - at - 6);
	}
	if (status == 0)
		return 0;
	if (status == 255) {
		bool refused =
		        output.find("Permission denied") != std::string::npos ||
		        output.find("Too many authentication failures") != std::string::npos ||
		        output.find("Host key verification failed") != std::string::npos;
		if (last.empty() && refused) {
			*why = "login to " + gateway + " refused";
			return 1;
		}
		*why = last.empty() ? "cannot reach " + gateway + " (sftp exit 255)"
		                    : "the connection to " + gateway + " broke off (sftp exit 255)";
		return ex_tempfail;
	}
	if (last.compare(0, 2, "cd") == 0)
		*why = "remote folder " + std::string(incoming) + " refused";
	else if (last.compare(0, 3, "put") == 0)
		*why = "upload of ." + name + " refused";
	else if (last.compare(0, 6, "rename") == 0)
		*why = "rename of ." + name + " to " + name + " refused";
	else
		*why = "sftp failed (exit " + std::to_string(status) + ")";
	return 1;
}

static std::string proc_utc_now(const char *format)
{
	char text[32];
	struct tm utc = {};
	time_t now = time(nullptr);
	gmtime_r(&now, &utc);
	strftime(text, sizeof text, format, &utc);
	return text;
}

// Writes text to path, appended or in place of what it held; with sync,
// the file and the current folder are on disk after it. 0, or nonzero.
static int proc_write_file(const std::string &path, const std::string &text, bool append, bool sync)
{
	int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC),
	              0666);
	if (fd < 0)
		return -1;
	bool failed = write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
	              (sync && fsync(fd) != 0);
	if (close(fd) != 0 || failed)
		return -1;
	return sync ? proc_sync_path(".") : 0;
}

// A delivered bulletin is written to delivered.log before it leaves the
// queue, both synced: a cut in between sends it once more, under the same
// name, which the gateway drops.
static int proc_record(const Queued &q)
{
	std::string line = proc_utc_now("%Y-%m-%dT%H:%M:%SZ") + " " + q.name + " " +
	                   std::to_string(q.size) + " bytes " + where + "\n";
	if (proc_write_file(log_name, line, true, true) != 0)
		return proc_finish(1, "FAILED: " + q.name + " delivered but not written to " +
		                              log_name + " (" + proc_reason(errno) +
		                              "); it stays queued");
	std::string entry = "outbox/" + q.name;
	if ((unlink((entry + ".failed").c_str()) != 0 && errno != ENOENT) ||
	    unlink(entry.c_str()) != 0 || proc_sync_path("outbox") != 0)
		return proc_finish(1, "FAILED: " + q.name +
		                              " delivered but not removed from outbox/ (" +
		                              proc_reason(errno) + ")");
	proc_say("delivered " + q.name + " (" + std::to_string(q.size) + " bytes) to " + where);
	return 0;
}

// Forward: the whole queue, oldest first, stopping at the first failure.
static int proc_forward(void)
{
	proc_read_queue(nullptr);
	const std::vector<Queued> sending = queue;
	for (const Queued &q : sending) {
		proc_say("sending " + q.name + " (" + std::to_string(q.size) + " bytes) to " +
		         where);
		std::string why;
		int outcome = client == "ftp" ? proc_send_ftp(q.name, &why)
		                              : proc_send_sftp(q.name, &why);
		if (outcome != 0) {
			// What --status shows for it.
			(void)proc_write_file("outbox/" + q.name + ".failed",
			                      proc_utc_now("%Y-%m-%d %H:%M:%S UTC") + " " + why +
			                              "\n",
			                      false, false);
			if (outcome == ex_tempfail)
				return proc_finish(ex_tempfail,
				                   "TEMPFAIL: " + why +
				                           ", kelvane-send --retry sends it later");
			return proc_finish(1, "FAILED: " + why +
			                              ", mend that and run kelvane-send --retry");
		}
		int recorded = proc_record(q);
		if (recorded != 0)
			return recorded;
	}
	if (sending.empty())
		return proc_finish(0, "nothing to send");
	if (sending.size() == 1)
		return proc_finish(0, "delivered " + sending[0].name + " to " + where);
	return proc_finish(0, "delivered " + std::to_string(sending.size()) + " bulletins to " +
	                              where);
}

int kelvane_send_main(int argc, char **argv)
{
	if (proc_standard_descriptors() != 0) {
		fputs("kelvane-send: unable to open /dev/null on a closed standard descriptor\n",
		      stderr);
		return 1;
	}
	int failed = proc_send_command_line(argc, argv);
	if (failed == 0)
		failed = proc_take_lock();
	if (failed == 0)
		failed = proc_check_folder();
	if (failed != 0)
		return failed;
	if (send_mode == "--status")
		return proc_send_status();
	if (client == "ftp" && (failed = proc_check_netrc()) != 0)
		return failed;
	struct stat st = {};
	if (lstat("outbox", &st) != 0 && (mkdir("outbox", 0755) != 0 || proc_sync_path(".") != 0))
		return proc_finish(1, "FAILED: cannot make " + std::string(proc_folder()) +
		                              "/outbox (" + proc_reason(errno) +
		                              "); nothing converted or sent");
	if (send_mode == "convert" && (failed = proc_store()) != 0)
		return failed;
	return proc_forward();
}
