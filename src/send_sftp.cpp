// The sftp transport: one OpenSSH sftp batch sends a whole batch in one
// session: cd, the removal of dot files an earlier call or run left, then
// each bulletin's put under a dot name of this run's own and its rename.
// sftp -b stops at the first command that fails (but for those written
// with a leading -) and echoes each command before it runs it, so the
// echo of the next command (or the end of the batch) says that a rename
// was accepted. The batch is read from a memory file, so that no pipe
// fills up however long it is. sftp exits 255 when ssh fails, 1 when a
// command fails; ssh's own lines tell a login refused, an unknown or a
// changed host key or a mistake in the words from a gateway that cannot
// be reached.
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <cstdio>
#include <iterator>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "send.h"

static const char echo[] = "sftp> ";
static const char removal[] = "-rm ";

static bool proc_has(const std::string &text, const char *what)
{
	return text.find(what) != std::string::npos;
}

// Why ssh refused the gateway's host key: unknown (no key for the host in
// known_hosts, or none at all), changed or revoked.
static std::string proc_host_key(const std::string &said)
{
	std::string host = gateway.substr(gateway.find('@') + 1);
	if (proc_has(said, "REVOKED HOST KEY") || proc_has(said, "was revoked"))
		return "host key of " + host + " is revoked in known_hosts: find out why";
	if (proc_has(said, "HAS CHANGED") || proc_has(said, "has changed"))
		return "host key of " + host +
		       " is not the one in known_hosts: find out why before you mend it";
	return "host key of " + host +
	       " unknown: add it to ~/.ssh/known_hosts, for example with ssh-keyscan";
}

// Why sftp exited 255 before any command ran, from what ssh said.
static int proc_sftp_unreached(const std::string &said, bool authenticated, std::string *why)
{
	// ssh's own words first: a banner the gateway sends may say anything.
	if (proc_has(said, "host key is known for") ||
	    proc_has(said, "Host key verification failed")) {
		*why = proc_host_key(said);
		return 1;
	}
	if (proc_has(said, "Permission denied (") ||
	    proc_has(said, "Too many authentication failures")) {
		*why = "login to " + gateway + " refused";
		return 1;
	}
	if (authenticated) {
		*why = "the gateway took the login of " + gateway + " but refused the sftp session";
		return 1;
	}
	if (proc_has(said, "Could not resolve hostname")) {
		*why = "host " + gateway.substr(gateway.find('@') + 1) +
		       " not found (sftp exit 255)";
		return ex_tempfail;
	}
	const char *const network[] = {"connect to host",  "kex_exchange_identification",
	                               "banner exchange",  "Connection closed by",
	                               "Connection reset", "Connection timed out",
	                               "Broken pipe",      "Timeout, server"};
	if (std::any_of(std::begin(network), std::end(network),
	                [&said](const char *words) { return proc_has(said, words); })) {
		*why = "cannot reach " + gateway + " (sftp exit 255)";
		return ex_tempfail;
	}
	std::string first = said.substr(0, said.find('\n'));
	*why = "sftp refused its words (" + proc_escape(first) + ")";
	return 1;
}

// A memory file holding text, at its start; -1 with errno.
static int proc_batch_text(const std::string &text)
{
	int fd = memfd_create("kelvane-send-batch", MFD_CLOEXEC);
	if (fd < 0)
		return -1;
	if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
	    lseek(fd, 0, SEEK_SET) != 0) {
		(void)close(fd);
		return -1;
	}
	return fd;
}

// The start of every batch: cd, and a removal of each name swept, which
// may fail (the name gone already).
static std::string proc_batch_start(const std::vector<std::string> &sweep)
{
	std::string text = std::string("cd ") + incoming + "\n";
	for (const std::string &name : sweep)
		text.append(removal).append(name).append("\n");
	return text;
}

// What sftp has said so far in a call.
struct SftpOutput {
	size_t swept = 0;  // removals after cd
	size_t echoed = 0; // commands echoed: cd, the removals, then put and rename for each
	std::string last;  // the last command echoed
	std::string said;  // what else sftp and ssh said, a line each, but for removals
	std::string first; // the first line said after a put or a rename
	bool authenticated = false;
	bool failed = false;
	// The batch's commands: a line is their echo only when it is the next
	// of them, word for word, after the login, so that no banner or reply
	// of the gateway's passes for one.
	std::vector<std::string> commands;
};

// The lines of a batch.
static std::vector<std::string> proc_commands(const std::string &text)
{
	std::vector<std::string> lines;
	for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
		lines.push_back(text.substr(at, end - at));
	return lines;
}

// Whether command (an echoed line less the prompt) is verb, with or
// without a leading -.
static bool proc_is_command(const std::string &command, const char *verb)
{
	std::string bare = command.compare(0, 1, "-") == 0 ? command.substr(1) : command;
	return bare.compare(0, std::char_traits<char>::length(verb), verb) == 0;
}

// Reads one line of sftp's: an echoed command, which says that the one
// before it succeeded (after a rename of the batch, a delivery), or
// anything else.
static void proc_sftp_line(const std::string &line, const std::vector<const Entry *> &batch,
                           std::vector<const Entry *> *done, SftpOutput *out)
{
	bool echoed =
	        line.compare(0, sizeof echo - 1, echo) == 0 && out->authenticated &&
	        out->echoed < out->commands.size() &&
	        line.compare(sizeof echo - 1, std::string::npos, out->commands[out->echoed]) == 0;
	if (!echoed) {
		if (line.compare(0, 17, "Authenticated to ") == 0) {
			out->authenticated = true;
		} else if (line.compare(0, 12, "Transferred:") != 0 &&
		           line.compare(0, 17, "Bytes per second:") != 0 &&
		           line.compare(0, 10, "Uploading ") != 0 &&
		           !proc_is_command(out->last, "rm ")) {
			out->said += line + "\n";
			if (out->first.empty() && (proc_is_command(out->last, "put ") ||
			                           proc_is_command(out->last, "rename ")))
				out->first = line;
		}
		return;
	}
	out->last = line.substr(sizeof echo - 1);
	// The rename of bulletin i is command swept + 2 + 2i; its success
	// shows in the echo of the command after it.
	size_t first_rename_echo = out->swept + 3;
	if (out->echoed >= first_rename_echo && (out->echoed - first_rename_echo) % 2 == 0 &&
	    (out->echoed - first_rename_echo) / 2 < batch.size())
		done->push_back(batch[(out->echoed - first_rename_echo) / 2]);
	out->echoed++;
}

// Reads sftp's lines until its end; returns its exit status.
static int proc_read_sftp(Child *child, const std::vector<const Entry *> &batch, SftpOutput *out,
                          Session *session)
{
	std::string pending;
	for (bool more = true; more && !out->failed;) {
		std::vector<std::string> lines;
		more = proc_read_lines(child, &pending, &lines);
		std::vector<const Entry *> done;
		for (const std::string &line : lines)
			proc_sftp_line(line, batch, &done, out);
		out->failed = proc_record_session(done, child, session) != 0;
	}
	return proc_wait(child);
}

// Prints what sftp said, each line printable.
static void proc_print_said(const std::string &said)
{
	size_t at = 0;
	for (size_t end; (end = said.find('\n', at)) != std::string::npos; at = end + 1)
		printf("%s\n", proc_printable(said.substr(at, end - at)).c_str());
}

// A failure before any put or rename: sftp killed, ssh failed, or cd
// refused. False for any other.
static bool proc_sftp_stopped(int status, const SftpOutput &out, const Child &child,
                              const std::string &sending, Session *session)
{
	session->outcome = 1;
	if (child.signal != 0)
		session->why = proc_ended("sftp", child, status) + ", sending " + sending;
	else if (status == 255 && out.echoed == 0)
		session->outcome = proc_sftp_unreached(out.said, out.authenticated, &session->why);
	else if (status == 255) {
		session->outcome = ex_tempfail;
		session->why = "the connection to " + gateway + " broke off (sftp exit 255)";
	} else if (status == 1 && proc_is_command(out.last, "cd"))
		session->why = "remote folder " + std::string(incoming) + " refused";
	else
		return false;
	return true;
}

// What sftp's exit status means for the entry the batch stopped at.
static void proc_sftp_failure(int status, const Entry &e, const SftpOutput &out, const Child &child,
                              Session *session)
{
	if (proc_sftp_stopped(status, out, child, e.bulletin, session))
		return;
	const std::string &name = e.bulletin;
	struct stat st = {};
	if (status == 1 && proc_is_command(out.last, "put ") &&
	    fstatat(e.dir, e.file.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT) {
		session->outcome = removed_entry;
		session->why = e.name() + " was removed while the queue was being sent";
		return;
	}
	if (status == 1 && proc_is_command(out.last, "put ")) {
		session->outcome = refused_bulletin;
		session->why = "upload of ." + name + " refused";
	} else if (status == 1 && proc_is_command(out.last, "rename ")) {
		session->outcome = refused_bulletin;
		session->why = "rename of ." + name + " to " + name + " refused";
	} else {
		session->why = "sftp failed (exit " + std::to_string(status) + ")";
	}
	session->answered = session->outcome == refused_bulletin;
	// The gateway's own words: the last line sftp said.
	size_t end = out.said.rfind('\n', out.said.size() > 1 ? out.said.size() - 2 : 0);
	std::string reason = out.said.substr(end == std::string::npos ? 0 : end + 1);
	if (!reason.empty())
		session->why += " (" + reason.substr(0, reason.size() - 1) + ")";
}

// Starts sftp with the batch text; false with the session's failure.
static bool proc_start_sftp(const std::string &text, Child *child, Session *session)
{
	int input = proc_batch_text(text);
	std::vector<std::string> argv = {"sftp", "-b", "-"};
	argv.insert(argv.end(), sftp_args.begin(), sftp_args.end());
	bool started = input >= 0 && proc_start(argv, input, true, send_lock, true, child) == 0;
	if (!started) {
		session->outcome = 1;
		session->why = std::string("cannot start sftp (") + proc_reason(errno) + ")";
	}
	if (input >= 0)
		(void)close(input);
	return started;
}

void proc_session_sftp(const std::vector<const Entry *> &batch, Session *session)
{
	const std::vector<std::string> sweep = litter;
	std::string text = proc_batch_start(sweep);
	std::vector<std::string> dots;
	for (const Entry *e : batch) {
		dots.push_back(proc_dot_name(e->bulletin));
		text.append("put ").append(e->path()).append(" ").append(dots.back());
		text.append("\nrename ").append(dots.back()).append(" ").append(e->bulletin);
		text.append("\n");
	}
	proc_add_litter(dots);
	Child child;
	if (!proc_start_sftp(text, &child, session))
		return;
	SftpOutput out;
	out.swept = sweep.size();
	out.commands = proc_commands(text);
	int status = proc_read_sftp(&child, batch, &out, session);
	// The end of the whole batch says that the last rename succeeded.
	bool whole = status == 0 && out.echoed == 2 * batch.size() + 1 + sweep.size();
	if (!out.failed && whole)
		out.failed = proc_record_session({batch.back()}, &child, session) != 0;
	if (!out.failed && !whole && session->delivered == batch.size()) {
		session->outcome = 1;
		session->why =
		        "sftp ended with exit " + std::to_string(status) + " after the batch";
	} else if (!out.failed && !whole) {
		proc_sftp_failure(status, *batch[session->delivered], out, child, session);
		if (!out.said.empty() && session->outcome != removed_entry)
			proc_print_said(out.said);
	}
	// Gone: the names swept (once the first put was echoed), those renamed
	// and those never begun; not the one a failure stopped at.
	std::vector<std::string> gone =
	        out.echoed >= sweep.size() + 2 ? sweep : std::vector<std::string>();
	for (size_t i = 0; i < batch.size(); i++) {
		if (i != session->delivered || session->outcome == 0)
			gone.push_back(dots[i]);
	}
	proc_remove_litter(gone);
}

void proc_probe_sftp(const std::string &refused, bool probe, Session *result)
{
	const std::vector<std::string> sweep = litter;
	const std::string name = proc_probe_name(refused);
	const std::string renamed = name + ".renamed";
	std::string text = proc_batch_start(sweep);
	int input = -1;
	if (probe) {
		// Taken where the upload and the rename succeed: only then can the
		// renamed file be renamed back. Both names are removed either way.
		if ((input = proc_probe_file()) < 0) {
			result->outcome = 1;
			result->why =
			        std::string("cannot make the probe (") + proc_reason(errno) + ")";
			return;
		}
		text += "-put /proc/self/fd/" + std::to_string(input) + " " + name + "\n" +
		        "-rename " + name + " " + renamed + "\n" + removal + name + "\n" +
		        "rename " + renamed + " " + name + "\n" + removal + name + "\n";
		proc_add_litter({name, renamed});
	} else if (sweep.empty()) {
		return;
	}
	Child child;
	bool started = proc_start_sftp(text, &child, result);
	if (input >= 0)
		(void)close(input);
	if (!started)
		return;
	SftpOutput out;
	out.swept = sweep.size();
	out.commands = proc_commands(text);
	const size_t all = sweep.size() + 1 + (probe ? 5 : 0);
	int status = proc_read_sftp(&child, {}, &out, result);
	if (out.echoed > sweep.size() || (status == 0 && out.echoed == all))
		proc_remove_litter(sweep);
	if (!probe)
		return;
	// Taken: every command ran. Refused: the rename back failed, so that
	// no probe file is left.
	bool taken = status == 0 && out.echoed == all;
	bool refusal = child.signal == 0 && status == 1 && out.echoed == all - 1;
	if (taken || refusal)
		proc_remove_litter({name, renamed});
	if (taken || proc_sftp_stopped(status, out, child, "the probe", result))
		return;
	result->outcome = 1;
	result->why = refusal ? "upload or rename refused" +
	                                (out.first.empty() ? "" : " (" + out.first + ")")
	                      : "sftp failed (exit " + std::to_string(status) + ")";
}
