// The ftp transport: one curl call sends a whole batch over one
// connection and one login. Each bulletin is uploaded under a dot name of
// this run's own (.BULLETIN.PID, so that two attempts never write one
// remote file) and renamed after its transfer; curl reports each
// transfer's exit code and last reply code on a line of its --write-out,
// which is the outcome. Its verbose lines are read only for the gateway's
// own words about a failure.
#include <cstdlib>
#include <cerrno>
#include <unistd.h>

#include "send.h"

static const char transfer_mark[] = "kelvane-send-transfer ";

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
	const std::string curl_exit = " (curl exit " + std::to_string(status) + ")";
	switch (status) {
	case 6: // host not resolved
		*why = "host " + ftp_host + " not found" + curl_exit;
		return ex_tempfail;
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
		*why = "login to " + gateway + " refused" + said;
		return 1;
	case 9:
		*why = "remote folder " + std::string(incoming) + " refused" + said;
		return 1;
	case 25:
		*why = "upload of ." + name + " refused" + said;
		return code.size() == 3 && code[0] == '5' ? refused_bulletin : 1;
	case 21:
		*why = "rename of ." + name + " to " + name + " refused" + said;
		return code.size() == 3 && code[0] == '5' ? refused_bulletin : 1;
	default:
		*why = "curl failed (exit " + std::to_string(status) + ", reply " + code + ")";
		return 1;
	}
}

// curl's arguments for one bulletin of the batch: options reset at each
// --next, so each bulletin gets them all.
static void proc_add_transfer(const Entry &e, const std::string &dot,
                              std::vector<std::string> *argv)
{
	const std::vector<std::string> each = {
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
	        std::string("%{stderr}") + transfer_mark + "%{exitcode} %{response_code}\\n",
	        "--upload-file",
	        e.path(),
	        "--quote",
	        "-RNFR " + dot,
	        "--quote",
	        "-RNTO " + e.bulletin,
	        ftp_url + dot};
	argv->insert(argv->end(), each.begin(), each.end());
}

// What curl has said so far in a session.
struct CurlOutput {
	std::string reply; // the gateway's last reply line
	std::string said;  // curl's own last error line
	bool failed = false;
};

// Reads one line of curl's: a reply, an error, or a transfer's outcome,
// which adds its bulletin to done or ends the session.
static void proc_curl_line(const std::string &line, const std::vector<const Entry *> &batch,
                           std::vector<const Entry *> *done, Session *session, CurlOutput *out)
{
	if (line.compare(0, 2, "< ") == 0 && line.size() >= 5) {
		out->reply = line.substr(2);
		return;
	}
	if (line.compare(0, 6, "curl: ") == 0) {
		out->said = line;
		return;
	}
	size_t at = session->delivered + done->size();
	if (out->failed || line.compare(0, sizeof transfer_mark - 1, transfer_mark) != 0 ||
	    at >= batch.size())
		return;
	std::string rest = line.substr(sizeof transfer_mark - 1);
	std::string status = rest.substr(0, rest.find(' '));
	std::string code = rest.substr(rest.find(' ') + 1);
	if (status == "0") {
		done->push_back(batch[at]);
		return;
	}
	session->outcome =
	        proc_ftp_outcome(static_cast<int>(strtol(status.c_str(), nullptr, 10)), code,
	                         out->reply.compare(0, 3, code) == 0 ? out->reply : "",
	                         batch[at]->bulletin, &session->why);
	out->failed = true;
}

void proc_session_ftp(const std::vector<const Entry *> &batch, Session *session)
{
	const std::string pid = std::to_string(getpid());
	std::vector<std::string> argv = {"curl", "--verbose", "--fail-early"};
	for (const Entry *e : batch) {
		if (e != batch.front())
			argv.emplace_back("--next");
		proc_add_transfer(*e, "." + e->bulletin + "." + pid, &argv);
	}
	Child child;
	if (proc_start(argv, -1, true, send_lock, true, &child) != 0) {
		session->outcome = 1;
		session->why = std::string("cannot start curl (") + proc_reason(errno) + ")";
		return;
	}
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
	if (out.failed || session->delivered == batch.size())
		return;
	// curl ended without a line for this transfer.
	if (!out.said.empty())
		proc_say(out.said);
	std::string code = out.reply.size() >= 3 ? out.reply.substr(0, 3) : "";
	session->outcome = proc_ftp_outcome(status != 0 ? status : 1, code, out.reply,
	                                    batch[session->delivered]->bulletin, &session->why);
}
