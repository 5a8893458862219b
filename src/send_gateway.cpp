// The gateway: the words that name it (ftp HOST [PORT], or sftp with the
// client's own options and USER@HOST), the URL the clients use, and the
// login curl reads from ~/.netrc.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#include "send.h"

const char incoming[] = "/data/talvex/data/";

std::string client;
std::string ftp_host;
std::string ftp_url;
std::vector<std::string> sftp_args;
std::string gateway;
std::string where;

// The gateway for ftp: HOST [PORT]. Returns 0, or 1 with why.
static int proc_ftp_gateway(const std::vector<std::string> &rest, std::string *why)
{
	if (rest.empty() || rest.size() > 2) {
		*why = rest.empty() ? "ftp needs a HOST" : "extra word " + proc_escape(rest[2]);
		return 1;
	}
	ftp_host = rest[0];
	std::string port = rest.size() == 2 ? rest[1] : "21";
	if (ftp_host.empty() || ftp_host[0] == '-' ||
	    ftp_host.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
	                               "0123456789.:_-") != std::string::npos) {
		*why = "host " + proc_escape(ftp_host) + " is not a host name or address";
		return 1;
	}
	// One colon is a port, never an IPv6 address.
	if (std::count(ftp_host.begin(), ftp_host.end(), ':') == 1) {
		*why = "host " + ftp_host + " carries a port: give it after the host, as ftp " +
		       ftp_host.substr(0, ftp_host.find(':')) + " " +
		       ftp_host.substr(ftp_host.find(':') + 1);
		return 1;
	}
	long number = port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos
	                      ? strtol(port.c_str(), nullptr, 10)
	                      : 0;
	if (number < 1 || number > 65535) {
		*why = "port " + proc_escape(port) + " is not a number from 1 to 65535";
		return 1;
	}
	const std::string port_text = rest.size() == 2 ? ":" + port : "";
	gateway = ftp_host + port_text;
	// An IPv6 address goes in brackets in a URL.
	std::string url_host =
	        ftp_host.find(':') != std::string::npos ? "[" + ftp_host + "]" : ftp_host;
	where = "ftp://" + url_host + port_text + incoming;
	ftp_url = "ftp://" + url_host + ":" + port + "/%2F" + (incoming + 1);
	return 0;
}

// The gateway for sftp: the client's own arguments, then a connect
// timeout, a check that the connection lives and ssh's login line (an
// option given first wins), then USER@HOST. Returns 0, or 1 with why.
static int proc_sftp_gateway(const std::vector<std::string> &rest, std::string *why)
{
	if (rest.empty() || rest.back()[0] == '-') {
		*why = "sftp needs USER@HOST as its last word";
		return 1;
	}
	sftp_args.assign(rest.begin(), rest.end() - 1);
	for (const char *o : {"ConnectTimeout=30", "ServerAliveInterval=15",
	                      "ServerAliveCountMax=4", "BatchMode=yes", "LogLevel=VERBOSE"}) {
		sftp_args.emplace_back("-o");
		sftp_args.emplace_back(o);
	}
	sftp_args.push_back(rest.back());
	// As the console, --status and delivered.log show it.
	gateway = proc_escape(rest.back());
	where = "sftp://" + gateway + incoming;
	return 0;
}

int proc_gateway_words(const std::vector<std::string> &words, std::string *why)
{
	client = words[0];
	std::vector<std::string> rest(words.begin() + 1, words.end());
	if (client == "ftp")
		return proc_ftp_gateway(rest, why);
	if (client == "sftp")
		return proc_sftp_gateway(rest, why);
	*why = proc_escape(client) +
	       " is not a gateway: give ftp HOST [PORT] or sftp [SFTP-OPTION...] USER@HOST";
	client.clear();
	return 1;
}

// ftp reads its login from ~/.netrc: without an entry for the host curl
// would log in as anonymous, and a file others can read gives the
// password away.
int proc_check_netrc(std::string *why)
{
	const char *home = getenv("HOME");
	std::string netrc = std::string(home != nullptr ? home : "") + "/.netrc";
	const std::string line = "machine " + ftp_host + " login USER password PASSWORD";
	FILE *file = fopen(netrc.c_str(), "re");
	if (file == nullptr) {
		*why = "no " + netrc + " with the gateway's login (add: " + line + ")";
		return 1;
	}
	struct stat st = {};
	bool mine = fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) == 0;
	bool found = false;
	char word[256];
	char previous[256] = "";
	while (!found && fscanf(file, "%255s", word) == 1) {
		found = strcmp(word, "default") == 0 ||
		        (strcmp(previous, "machine") == 0 && ftp_host == word);
		memcpy(previous, word, sizeof previous);
	}
	(void)fclose(file);
	if (!mine)
		*why = netrc + " can be read by others (chmod 600 it)";
	else if (!found)
		*why = netrc + " has no entry for " + ftp_host + " (add: " + line + ")";
	return mine && found ? 0 : 1;
}
