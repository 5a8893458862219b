// kelvane-send's lines: each begins with the program's name, and text
// from outside (names, notes, the gateway's replies) is shown with every
// byte that is not printable ASCII escaped, so that it is never obeyed
// by a terminal or read as a second line: names where they are put into
// a line, and every line once more as it is said.
#include <cstdio>

#include "send.h"

void proc_say(const std::string &line)
{
	printf("kelvane-send: %s\n", proc_printable(line).c_str());
}

// Escapes the bytes outside printable ASCII and, with backslash, the
// backslash too, so that an escape in the text cannot pass for one of ours.
static std::string proc_escape_bytes(const std::string &text, bool backslash)
{
	std::string out;
	for (unsigned char c : text) {
		if (c >= ' ' && c <= '~' && (c != '\\' || !backslash)) {
			out += static_cast<char>(c);
		} else {
			char hex[8];
			snprintf(hex, sizeof hex, "\\x%02x", c);
			out += hex;
		}
	}
	return out;
}

std::string proc_escape(const std::string &text)
{
	return proc_escape_bytes(text, true);
}

// A line that may hold escaped names already: their backslashes stay.
std::string proc_printable(const std::string &line)
{
	return proc_escape_bytes(line, false);
}

std::string proc_utc(time_t t, const char *format)
{
	char text[40];
	struct tm utc = {};
	gmtime_r(&t, &utc);
	strftime(text, sizeof text, format, &utc);
	return text;
}
