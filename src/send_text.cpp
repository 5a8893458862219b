// kelvane-send's lines: each begins with the program's name, and text
// from outside (names, notes, the gateway's replies) is shown with every
// byte that is not printable ASCII escaped, so that it is never obeyed
// by a terminal or read as a second line.
#include <cstdio>

#include "send.h"

void proc_say(const std::string &line)
{
	printf("kelvane-send: %s\n", line.c_str());
}

std::string proc_escape(const std::string &text)
{
	std::string out;
	for (unsigned char c : text) {
		if (c >= ' ' && c <= '~' && c != '\\') {
			out += static_cast<char>(c);
		} else {
			char hex[8];
			snprintf(hex, sizeof hex, "\\x%02x", c);
			out += hex;
		}
	}
	return out;
}

std::string proc_utc(time_t t, const char *format)
{
	char text[40];
	struct tm utc = {};
	gmtime_r(&t, &utc);
	strftime(text, sizeof text, format, &utc);
	return text;
}
