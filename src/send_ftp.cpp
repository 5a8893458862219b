// The ftp transport: one curl call sends a whole batch over one
// connection and one login. Each bulletin is uploaded under a dot name of
// this run's own (.BULLETIN.PID, so that two attempts never write one
// remote file) and renamed after its transfer; curl reports each
// transfer's exit code and last reply code on a line of its --write-out,
// which is the outcome. Its verbose lines are read only for the gateway's
// own words about a failure. Dot files that an earlier call or run left
// are removed first, by a transfer of their own that sends only DELE.
#include <cerrno>
#include <fcntl.h>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#include "send.h"

static const char transfer_mark[] = "kelvane-send-transfer ";

// Whether the reply code says "later": a 4xx, or 552, storage exceeded.
static bool proc_later(const std::string &code)
{
	return (code.size() == 3 && code[0] == '4') || code == "552";
}

// What a failed curl transfer means: ex_tempfail for a gateway that could
// not be reached, broke off or refused for now (a 4xx reply);
// refused_bulletin for a 5xx reply to this bulletin's upload or rename; 1
// for a refusal that needs a person. why says it, with the gateway's reply
// line where there is one. curl's exit status tells the kind of failure,
// the reply code a refusal for now from one for good.
int proc_ftp_outcome(int status, const std::string &code, const std::string &reply,
                     const std::string &name, std::string *why)
{
	if (status == 0)
		return 0;
	const std::string said = " (reply " + (reply.empty() ? code : reply) + ")";
	if (code.size() == 3 && code[0] == '4') {
		*why = gateway + " refused for now" + said;
		return ex_tempfail;
	}
	const bool refusal = code.size() == 3 && code[0] == '5';
	const std::string curl_exit = " (curl exit " + std::to_string(status) + ")";
	switch (status) {
	case 6: // host not resolved
		*why = "host " + ftp_host + " not found" + curl_exit;
		return ex_tempfail;
	case 7: // not connected
		*why = "cannot reach " + gateway + curl_exit;
		return ex_tempfail;
	case 18: // transfer cut short, or a refusal at its end
	case 70: // the gateway out of room at the end of an upload (552)
		if (refusal) {
			*why = "upload of ." + name + " refused at its end" + said;
			return refused_bulletin;
		}
		*why = "the connection to " + gateway + " broke off" + curl_exit;
		return ex_tempfail;
	case 28: // timed out
	case 55: // send failed
	case 56: // receive failed
		*why = "the connection to " + gateway + " broke off" + curl_exit;
		return ex_tempfail;
	case 67:
		*why = "login to " + gateway + " refused" + said;
		return 1;
	case 9:
		*why = "remote folder " + std::string(incoming) + " refused" + said;
		return 1;
	case 25:
		*why = "upload of ." + name + " refused" + said;
		return refusal ? refused_bulletin : 1;
	case 21:
		*why = "rename of ." + name + " to " + name + " refused" + said;
		return refusal ? refused_bulletin : 1;
	case 26: // the file to upload cannot be read
		*why = "curl cannot read the queued " + name + curl_exit;
		return 1;
	default:
		*why = "curl failed (exit " + std::to_string(status) + ", reply " + code + ")";
		return 1;
	}
}

// The options every transfer gets: options reset at each --next.
static void proc_add_common(const char *kind, std::vector<std::string> *argv)
{
	const std::vector<std::string> each = {"--silent",
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
	                                       std::string("%{stderr}") + transfer_mark + kind +
	                                               " %{exitcode} %{response_code}\\n"};
	if (argv->size() > 3)
		argv->emplace_back("--next");
	argv->insert(argv->end(), each.begin(), each.end());
}

// A transfer that only removes names of the incoming folder, ignoring
// refusals (a name already gone): a DELE each, by the path from the root,
// since curl sends them before it changes folder.
static void proc_add_removals(const char *kind, const std::vector<std::string> &names,
                              std::vector<std::string> *argv)
{
	proc_add_common(kind, argv);
	for (const std::string &name : names) {
		argv->emplace_back("--quote");
		argv->emplace_back("*DELE " + std::string(incoming) + name);
	}
	argv->emplace_back("--head");
	argv->emplace_back(ftp_url);
}

// An upload of path (- for standard input) under the dot name dot,
// renamed to final after its transfer.
static void proc_add_upload(const char *kind, const std::string &path, const std::string &dot,
                            const std::string &final, std::vector<std::string> *argv)
{
	proc_add_common(kind, argv);
	const std::vector<std::string> upload = {"--upload-file", path,      "--quote",
	                                         "-RNFR " + dot,  "--quote", "-RNTO " + final,
	                                         ftp_url + dot};
	argv->insert(argv->end(), upload.begin(), upload.end());
}

// One line of a transfer's outcome: its kind, curl's exit status and the
// last reply code. False for any other line.
struct Transfer {
	std::string kind;
	int status = 0;
	std::string code;
};
static bool proc_transfer_line(const std::string &line, Transfer *t)
{
	if (line.compare(0, sizeof transfer_mark - 1, transfer_mark) != 0)
		return false;
	std::string rest = line.substr(sizeof transfer_mark - 1);
	size_t space = rest.find(' ');
	size_t second = space == std::string::npos ? space : rest.find(' ', space + 1);
	if (second == std::string::npos)
		return false;
	t->kind = rest.substr(0, space);
	t->status = static_cast<int>(strtol(rest.c_str() + space + 1, nullptr, 10));
	t->code = rest.substr(second + 1);
	return true;
}

// What curl has said so far in a call.
struct CurlOutput {
	std::string reply; // the gateway's last reply line
	std::string said;  // curl's own last error line
	bool failed = false;
	bool swept = false; // the removals of the litter ran
};

// Reads one line of curl's that is not a transfer's outcome.
static void proc_curl_words(const std::string &line, CurlOutput *out)
{
	if (line.compare(0, 2, "< ") == 0 && line.size() >= 5)
		out->reply = line.substr(2);
	else if (line.compare(0, 6, "curl: ") == 0)
		out->said = line;
}

// The gateway's reply line where it is the one of code, else "".
static std::string proc_reply_of(const CurlOutput &out, const std::string &code)
{
	return out.reply.compare(0, 3, code) == 0 ? out.reply : "";
}

// The failure of a transfer of entry e, with what it says of the session.
static void proc_failed_transfer(const Transfer &t, const Entry &e, const CurlOutput &out,
                                 Session *session)
{
	session->outcome = proc_ftp_outcome(t.status, t.code, proc_reply_of(out, t.code),
	                                    e.bulletin, &session->why);
	// The queued file gone: a person removed it while it was being sent.
	struct stat st = {};
	if (t.status == 26 && fstatat(e.dir, e.file.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 &&
	    errno == ENOENT) {
		session->outcome = removed_entry;
		session->why = e.name() + " was removed while the queue was being sent";
	}
	session->answered = t.code.size() == 3 && (t.code[0] == '4' || t.code[0] == '5') &&
	                    t.status != 67 && t.status != 9;
}

// Reads one line of curl's: a reply, an error, or a transfer's outcome,
// which adds its bulletin to done or ends the session.
static void proc_curl_line(const std::string &line, const std::vector<const Entry *> &batch,
                           std::vector<const Entry *> *done, Session *session, CurlOutput *out)
{
	Transfer t;
	if (!proc_transfer_line(line, &t)) {
		proc_curl_words(line, out);
		return;
	}
	size_t at = session->delivered + done->size();
	if (out->failed || at >= batch.size())
		return;
	if (t.kind == "sweep" && t.status == 0) {
		out->swept = true;
		return;
	}
	if (t.kind == "bulletin" && t.status == 0) {
		done->push_back(batch[at]);
		return;
	}
	proc_failed_transfer(t, *batch[at], *out, session);
	out->failed = true;
}

// Starts curl with argv (with input as its standard input, where given).
static bool proc_start_curl(const std::vector<std::string> &argv, int input, Child *child,
                            Session *session)
{
	if (proc_start(argv, input, true, send_lock, true, child) == 0)
		return true;
	session->outcome = 1;
	session->why = std::string("cannot start curl (") + proc_reason(errno) + ")";
	return false;
}

void proc_session_ftp(const std::vector<const Entry *> &batch, Session *session)
{
	std::vector<std::string> argv = {"curl", "--verbose", "--fail-early"};
	const std::vector<std::string> sweep = litter;
	if (!sweep.empty())
		proc_add_removals("sweep", sweep, &argv);
	std::vector<std::string> dots;
	for (const Entry *e : batch) {
		dots.push_back(proc_dot_name(e->bulletin));
		proc_add_upload("bulletin", e->path(), dots.back(), e->bulletin, &argv);
	}
	proc_add_litter(dots);
	Child child;
	if (!proc_start_curl(argv, -1, &child, session))
		return;
	std::string pending;
	CurlOutput out;
	for (bool more = true; more && !out.failed;) {
		std::vector<std::string> lines;
		more = proc_read_lines(&child, &pending, &lines);
		std::vector<const Entry *> done;
		for (const std::string &line : lines)
			proc_curl_line(line, batch, &done, session, &out);
		// The renames reported together are recorded together.
		out.failed = proc_record_session(done, &child, session) != 0 || out.failed;
	}
	int status = proc_wait(&child);
	if (!out.failed && session->delivered < batch.size()) {
		// curl ended without a line for this transfer.
		if (!out.said.empty())
			proc_say(out.said);
		std::string code = out.reply.size() >= 3 ? out.reply.substr(0, 3) : "";
		session->outcome =
		        proc_ftp_outcome(status != 0 ? status : 1, code, out.reply,
		                         batch[session->delivered]->bulletin, &session->why);
		if (child.signal != 0)
			session->why = proc_ended("curl", child, status) + ", sending " +
			               batch[session->delivered]->bulletin;
	}
	// Gone: the names swept, those renamed and those never begun; not the
	// one a failure stopped at.
	std::vector<std::string> gone = out.swept ? sweep : std::vector<std::string>();
	for (size_t i = 0; i < batch.size(); i++) {
		if (i != session->delivered || session->outcome == 0)
			gone.push_back(dots[i]);
	}
	proc_remove_litter(gone);
}

// What curl said in a probe's call.
struct ProbeOutput {
	CurlOutput out;
	Transfer probed;   // the probe's transfer; status -1 until it is reported
	std::string reply; // the gateway's reply line to it
	bool tidied = false;
};

static void proc_read_probe(Child *child, ProbeOutput *p)
{
	std::string pending;
	p->probed.status = -1;
	for (bool more = true; more;) {
		std::vector<std::string> lines;
		more = proc_read_lines(child, &pending, &lines);
		for (const std::string &line : lines) {
			Transfer t;
			if (!proc_transfer_line(line, &t)) {
				proc_curl_words(line, &p->out);
				continue;
			}
			p->out.swept = p->out.swept || (t.kind == "sweep" && t.status == 0);
			p->tidied = p->tidied || (t.kind == "tidy" && t.status == 0);
			if (t.kind == "probe") {
				p->probed = t;
				p->reply = proc_reply_of(p->out, t.code);
			}
		}
	}
}

// One call: the litter removed, then (with probe) the probe uploaded under
// its dot name, renamed to another and both names removed, whatever the
// probe met. Without --fail-early, so that the removals always run.
void proc_probe_ftp(const std::string &refused, bool probe, Session *result)
{
	const std::vector<std::string> sweep = litter;
	const std::string name = proc_probe_name(refused);
	const std::vector<std::string> names = {name, name + ".renamed"};
	std::vector<std::string> argv = {"curl", "--verbose"};
	if (!sweep.empty())
		proc_add_removals("sweep", sweep, &argv);
	int input = -1;
	if (probe) {
		proc_add_upload("probe", "-", name, names[1], &argv);
		proc_add_removals("tidy", names, &argv);
		proc_add_litter(names);
		if ((input = proc_probe_file()) < 0) {
			result->outcome = 1;
			result->why =
			        std::string("cannot make the probe (") + proc_reason(errno) + ")";
			return;
		}
	}
	if (argv.size() == 2)
		return;
	Child child;
	bool started = proc_start_curl(argv, input, &child, result);
	if (input >= 0)
		(void)close(input);
	if (!started)
		return;
	ProbeOutput p;
	proc_read_probe(&child, &p);
	int status = proc_wait(&child);
	proc_remove_litter(p.out.swept ? sweep : std::vector<std::string>());
	if (p.tidied)
		proc_remove_litter(names);
	if (!probe)
		return;
	if (p.probed.status < 0) {
		result->outcome = 1;
		result->why = proc_ended("curl", child, status) + ", sending the probe";
		return;
	}
	result->outcome =
	        proc_ftp_outcome(p.probed.status, p.probed.code, p.reply, name, &result->why);
	if (result->outcome != refused_bulletin)
		return;
	result->outcome = proc_later(p.probed.code) ? ex_tempfail : 1;
	result->why = std::string(p.probed.status == 21 ? "rename" : "upload") +
	              " refused (reply " + (p.reply.empty() ? p.probed.code : p.reply) + ")";
}
