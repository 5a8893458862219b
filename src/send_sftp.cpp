// The sftp transport: one OpenSSH sftp batch sends a whole batch in one
// session: cd, then each bulletin's put under a dot name of this run's own
// and its rename. sftp -b stops at the first command that fails and
// echoes each command before it runs it, so the echo of the next command
// (or the end of the batch) says that a rename was accepted. The batch is
// read from a memory file, so that no pipe fills up however long it is.
// sftp exits 255 when ssh fails, 1 when a command fails; ssh's own lines
// tell a login refused, an unknown host key or a mistake in the words
// from a gateway that cannot be reached.
#include <algorithm>
#include <cstdio>
#include <iterator>
#include <sys/mman.h>
#include <unistd.h>

#include "send.h"

static const char echo[] = "sftp> ";

static bool proc_has(const std::string &text, const char *what)
{
	return text.find(what) != std::string::npos;
}

// Why sftp exited 255 before any command ran, from what ssh said.
static int proc_sftp_unreached(const std::string &said, bool authenticated, std::string *why)
{
	if (authenticated) {
		*why = "the gateway took the login of " + gateway + " but refused the sftp session";
		return 1;
	}
	if (proc_has(said, "host key is known for")) {
		*why = "host key of " + gateway.substr(gateway.find('@') + 1) +
		       " unknown: add it to ~/.ssh/known_hosts, for example with ssh-keyscan";
		return 1;
	}
	if (proc_has(said, "Host key verification failed")) {
		*why = "host key of " + gateway.substr(gateway.find('@') + 1) +
		       " is not the one in known_hosts: find out why before you mend it";
		return 1;
	}
	if (proc_has(said, "Permission denied") ||
	    proc_has(said, "Too many authentication failures")) {
		*why = "login to " + gateway + " refused";
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

// A memory file holding the batch, at its start; -1 with errno.
static int proc_batch_file(const std::vector<const Entry *> &batch, const std::string &pid)
{
	std::string text = std::string("cd ") + incoming + "\n";
	for (const Entry *e : batch) {
		std::string dot = "." + e->bulletin + "." + pid;
		text.append("put ").append(e->path()).append(" ").append(dot);
		text.append("\nrename ").append(dot).append(" ").append(e->bulletin).append("\n");
	}
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

// What sftp has said so far in a session.
struct SftpOutput {
	size_t echoed = 0; // commands echoed: 0 is cd, then put and rename for each bulletin
	std::string last;  // the last command echoed
	std::string said;  // what else sftp and ssh said, a line each
	bool authenticated = false;
	bool failed = false;
};

// Reads one line of sftp's: an echoed command, which says that the one
// before it succeeded (after a rename, a delivery), or anything else.
static void proc_sftp_line(const std::string &line, const std::vector<const Entry *> &batch,
                           std::vector<const Entry *> *done, SftpOutput *out)
{
	if (line.compare(0, sizeof echo - 1, echo) != 0) {
		if (line.compare(0, 17, "Authenticated to ") == 0)
			out->authenticated = true;
		else if (line.compare(0, 12, "Transferred:") != 0 &&
		         line.compare(0, 17, "Bytes per second:") != 0 &&
		         line.compare(0, 10, "Uploading ") != 0)
			out->said += line + "\n";
		return;
	}
	out->last = line.substr(sizeof echo - 1);
	if (out->echoed >= 3 && out->echoed % 2 == 1 && (out->echoed - 3) / 2 < batch.size())
		done->push_back(batch[(out->echoed - 3) / 2]);
	out->echoed++;
}

// What sftp's exit status means for the bulletin the batch stopped at.
static void proc_sftp_failure(int status, const std::string &name, const SftpOutput &out,
                              Session *session)
{
	if (status == 255 && out.echoed == 0) {
		session->outcome = proc_sftp_unreached(out.said, out.authenticated, &session->why);
		return;
	}
	if (status == 255) {
		session->outcome = ex_tempfail;
		session->why = "the connection to " + gateway + " broke off (sftp exit 255)";
		return;
	}
	session->outcome = 1;
	if (status == 1 && out.last.compare(0, 2, "cd") == 0) {
		session->why = "remote folder " + std::string(incoming) + " refused";
	} else if (status == 1 && out.last.compare(0, 3, "put") == 0) {
		session->outcome = refused_bulletin;
		session->why = "upload of ." + name + " refused";
	} else if (status == 1 && out.last.compare(0, 6, "rename") == 0) {
		session->outcome = refused_bulletin;
		session->why = "rename of ." + name + " to " + name + " refused";
	} else {
		session->why = "sftp failed (exit " + std::to_string(status) + ")";
	}
	// The gateway's own words: the last line sftp said.
	size_t end = out.said.rfind('\n', out.said.size() > 1 ? out.said.size() - 2 : 0);
	std::string reason = out.said.substr(end == std::string::npos ? 0 : end + 1);
	if (!reason.empty())
		session->why += " (" + proc_escape(reason.substr(0, reason.size() - 1)) + ")";
}

void proc_session_sftp(const std::vector<const Entry *> &batch, Session *session)
{
	int input = proc_batch_file(batch, std::to_string(getpid()));
	std::vector<std::string> argv = {"sftp", "-b", "-"};
	argv.insert(argv.end(), sftp_args.begin(), sftp_args.end());
	Child child;
	if (input < 0 || proc_start(argv, input, true, send_lock, true, &child) != 0) {
		session->outcome = 1;
		session->why = std::string("cannot start sftp (") + proc_reason(errno) + ")";
		if (input >= 0)
			(void)close(input);
		return;
	}
	(void)close(input);
	std::string pending;
	SftpOutput out;
	for (bool more = true; more && !out.failed;) {
		std::vector<std::string> lines;
		more = proc_read_lines(&child, &pending, &lines);
		std::vector<const Entry *> done;
		for (const std::string &line : lines)
			proc_sftp_line(line, batch, &done, &out);
		out.failed = proc_record_session(done, &child, session) != 0;
	}
	int status = proc_wait(&child);
	if (out.failed)
		return;
	// The end of the whole batch says that the last rename succeeded.
	if (status == 0 && out.echoed == 2 * batch.size() + 1) {
		(void)proc_record_session({batch.back()}, &child, session);
		return;
	}
	if (session->delivered == batch.size()) {
		session->outcome = 1;
		session->why =
		        "sftp ended with exit " + std::to_string(status) + " after the batch";
		return;
	}
	proc_sftp_failure(status, batch[session->delivered]->bulletin, out, session);
	if (!out.said.empty())
		fputs(out.said.c_str(), stdout);
}
