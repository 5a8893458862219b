// Message body: normalise the text to upper-case printable bytes, then
// write it with every line end turned into the bulletin's line break.
#include "kelvane.h"

// Character classes of the "C" locale, spelled out so that no locale
// setting can change them.
static bool proc_is_printable(unsigned char c)
{
	return c >= 0x20 && c <= 0x7E;
}

// Lower case becomes upper case; carriage return and line feed stay;
// every other non-printable byte becomes a space. Returns the number
// of bytes examined.
int proc_cleanup_text(int n)
{
	int xxx = 0;
	for (; xxx < n; xxx++) {
		unsigned char jj = text_buffer[xxx];
		if (jj >= 'a' && jj <= 'z')
			jj = static_cast<unsigned char>(jj - 'a' + 'A');
		else if (!proc_is_printable(jj) && jj != '\r' && jj != '\n')
			jj = ' ';
		text_buffer[xxx] = jj;
	}
	return xxx;
}

// Writes the cleaned body: runs of printable bytes as they are, a line
// feed or a carriage return plus line feed as one line break, and a stray
// carriage return as a space, reported on the console. Returns the number
// of bytes the stream accepted.
int proc_write_message(int n)
{
	int count = 0;
	int xxx = 0;
	while (xxx < n) {
		int run = xxx;
		while (run < n && proc_is_printable(text_buffer[run]))
			run++;
		if (run > xxx) {
			count += static_cast<int>(fwrite(text_buffer + xxx, 1, run - xxx, talvex_out));
			xxx = run;
			continue;
		}
		unsigned char jj = text_buffer[xxx];
		bool kk_is_line_feed = xxx + 1 < n && text_buffer[xxx + 1] == '\n';
		if (jj == '\r' && kk_is_line_feed) {
			count += proc_line_prefix();
			xxx++;
		} else if (jj == '\n') {
			count += proc_line_prefix();
		} else {
			printf("ERROR - Non-printable character encountered.\n");
			count += fputc(' ', talvex_out) == EOF ? 0 : 1;
		}
		xxx++;
	}
	return count;
}
