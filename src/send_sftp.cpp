// The sftp transport: one OpenSSH sftp batch sends a whole batch in one
// session: cd, then each bulletin's put under a dot name of this run's own
// and its rename. sftp -b stops at the first command that fails and
// echoes each command before it runs it, so the echo of the next command
// (or the end of the batch) says that a rename was accepted. The batch is
// read from a memory file, so that no pipe fills up however long it is.
// sftp exits 255 when ssh fails, 1 when a command fails; ssh's own lines
// tell a login refused, an unknown host key or a mistake in the words
// from a gateway that cannot be reached.
#include <csignal>
#include <cstdio>
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
	for (const char *network : {"connect to host", "kex_exchange_identification",
	                            "banner exchange", "Connection closed by", "Connection reset",
	                            "Connection timed out", "Broken pipe", "Timeout, server"}) {
		if (proc_has(said, network)) {
			*why = "cannot reach " + gateway + " (sftp exit 255)";
			return ex_tempfail;
		}
	}
	std::string first = said.substr(0, said.find('\n'));
	*why = "sftp refused its words (" + proc_escape(first) + "): mend the gateway words";
	return 1;
}

// A memory file holding the batch, at its start; -1 with errno.
static int proc_batch_file(const std::vector<const Entry *> &batch, const std::string &pid)
{
	std::string text = std::string("cd ") + incoming + "\n";
	for (const Entry *e : batch) {
		std::string dot = "." + e->bulletin + "." + pid;
		text += "put " + e->path() + " " + dot + "\nrename " + dot + " " + e->bulletin +
		        "\n";
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
	// Commands echoed: 0 is cd, then put and rename for each bulletin.
	size_t echoed = 0;
	std::string pending, said, last;
	bool authenticated = false, failed = false, more = true;
	while (more && !failed) {
		std::vector<std::string> lines;
		more = proc_read_lines(&child, &pending, &lines);
		std::vector<const Entry *> done;
		for (const std::string &line : lines) {
			if (line.compare(0, sizeof echo - 1, echo) != 0) {
				if (line.compare(0, 17, "Authenticated to ") == 0)
					authenticated = true;
				else if (line.compare(0, 12, "Transferred:") != 0 &&
				         line.compare(0, 17, "Bytes per second:") != 0 &&
				         line.compare(0, 10, "Uploading ") != 0)
					said += line + "\n";
				continue;
			}
			last = line.substr(sizeof echo - 1);
			// The command before this put succeeded: a rename, a delivery.
			if (echoed >= 3 && echoed % 2 == 1 && (echoed - 3) / 2 < batch.size())
				done.push_back(batch[(echoed - 3) / 2]);
			echoed++;
		}
		if (proc_record(done, &session->why) != 0) {
			session->outcome = 1;
			failed = true;
			(void)kill(child.pid, SIGTERM);
		}
		session->delivered += done.size();
	}
	int status = proc_wait(&child);
	if (failed)
		return;
	if (status == 0 && echoed == 2 * batch.size() + 1) {
		std::vector<const Entry *> done = {batch.back()};
		if (proc_record(done, &session->why) != 0) {
			session->outcome = 1;
			return;
		}
		session->delivered++;
		return;
	}
	if (session->delivered == batch.size()) {
		session->outcome = 1;
		session->why =
		        "sftp ended with exit " + std::to_string(status) + " after the batch";
		return;
	}
	const std::string &name = batch[session->delivered]->bulletin;
	if (status == 255) {
		session->outcome = echoed == 0
		                           ? proc_sftp_unreached(said, authenticated, &session->why)
		                           : ex_tempfail;
		if (echoed != 0)
			session->why =
			        "the connection to " + gateway + " broke off (sftp exit 255)";
	} else if (status == 1 && last.compare(0, 2, "cd") == 0) {
		session->outcome = 1;
		session->why = "remote folder " + std::string(incoming) + " refused";
	} else if (status == 1 &&
	           (last.compare(0, 3, "put") == 0 || last.compare(0, 6, "rename") == 0)) {
		session->outcome = refused_bulletin;
		session->why = (last[0] == 'p' ? "upload of ." + name
		                               : "rename of ." + name + " to " + name) +
		               " refused";
	} else {
		session->outcome = 1;
		session->why = "sftp failed (exit " + std::to_string(status) + ")";
	}
	// The gateway's own words, where sftp gave them.
	size_t end = said.rfind('\n', said.size() > 1 ? said.size() - 2 : 0);
	std::string reason = said.substr(end == std::string::npos ? 0 : end + 1);
	if (!reason.empty())
		reason.pop_back();
	if (status != 255 && !reason.empty())
		session->why += " (" + proc_escape(reason) + ")";
	if (!said.empty())
		fputs(said.c_str(), stdout);
}
