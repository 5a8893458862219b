// Running a child: kelvane, curl or sftp. A child that sends holds the
// folder's send lock too and dies with kelvane-send, so that no client
// goes on uploading after the run that started it was killed, while a
// later run already sends the same bulletin.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "send.h"

// Starts argv. With input, that descriptor is its standard input; with
// collect, its standard output and error go to a pipe, child->output. The
// descriptor lock stays open in the child, so that it holds the lock as
// long as it lives; with dies_with_us it is killed when kelvane-send
// ends. Returns 0, or 1 with errno.
int proc_start(const std::vector<std::string> &argv, int input, bool collect, int lock,
               bool dies_with_us, Child *child)
{
	std::vector<char *> cargv;
	cargv.reserve(argv.size() + 1);
	for (const std::string &a : argv)
		// cppcheck-suppress useStlAlgorithm
		cargv.push_back(const_cast<char *>(a.c_str()));
	cargv.push_back(nullptr);
	int out[2] = {-1, -1};
	if (collect && pipe2(out, O_CLOEXEC) != 0)
		return 1;
	fflush(stdout);
	pid_t parent = getpid();
	pid_t pid = fork();
	if (pid == 0) {
		if (dies_with_us && (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent))
			_exit(127);
		bool ready = (input < 0 || dup2(input, 0) == 0) &&
		             (out[1] < 0 || (dup2(out[1], 1) == 1 && dup2(out[1], 2) == 2)) &&
		             (lock < 0 || fcntl(lock, F_SETFD, 0) == 0);
		(void)signal(SIGPIPE, SIG_DFL);
		if (ready)
			execvp(cargv[0], cargv.data());
		_exit(127);
	}
	int e = errno;
	if (out[1] >= 0)
		(void)close(out[1]);
	if (pid < 0) {
		if (out[0] >= 0)
			(void)close(out[0]);
		errno = e;
		return 1;
	}
	child->pid = pid;
	child->output = out[0];
	return 0;
}

// Waits for the child; returns its exit status, 128 + the signal that
// ended it, or 127 when it could not start.
int proc_wait(Child *child)
{
	if (child->output >= 0)
		(void)close(child->output);
	child->output = -1;
	int status = 0;
	while (waitpid(child->pid, &status, 0) < 0) {
		if (errno != EINTR)
			return 127;
	}
	child->signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
	return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string proc_ended(const char *name, const Child &child, int status)
{
	if (child.signal == 0)
		return std::string(name) + " exited " + std::to_string(status);
	const char *what = strsignal(child.signal);
	return std::string(name) + " was killed by signal " + std::to_string(child.signal) +
	       (what != nullptr ? std::string(" (") + what + ")" : std::string());
}

// Reads what the child wrote since the last call (at least a byte, or its
// end) and adds its complete lines to lines, without their line feeds or
// carriage returns; pending keeps a line not yet ended. Returns false at
// the end of its output.
bool proc_read_lines(Child *child, std::string *pending, std::vector<std::string> *lines)
{
	char chunk[16384];
	ssize_t got = 0;
	do
		got = read(child->output, chunk, sizeof chunk);
	while (got < 0 && errno == EINTR);
	if (got <= 0) {
		if (!pending->empty())
			lines->push_back(*pending);
		pending->clear();
		return false;
	}
	pending->append(chunk, static_cast<size_t>(got));
	size_t start = 0;
	for (size_t end; (end = pending->find('\n', start)) != std::string::npos; start = end + 1) {
		size_t stop = end;
		while (stop > start && (*pending)[stop - 1] == '\r')
			stop--;
		lines->push_back(pending->substr(start, stop - start));
	}
	pending->erase(0, start);
	return true;
}
