// Message body: normalise the text to upper-case printable bytes, then
// write it with every line end turned into the bulletin's line break.
#include <cstring>

#include "kelvane.h"

// Character classes of the "C" locale, spelled out so that no locale
// setting can change them.
static bool proc_is_printable(unsigned char c)
{
	return c >= 0x20 && c <= 0x7E;
}

// Lower case becomes upper case; carriage return and line feed stay;
// every other non-printable byte becomes a space. Returns the number
// of bytes examined. The loop has no branches, and works through a local
// pointer that no store can change, so that the compiler can treat many
// bytes at once.
int proc_cleanup_text(int n)
{
	unsigned char *buffer = text_buffer;
	int xxx = 0;
	for (; xxx < n; xxx++) {
		unsigned char jj = buffer[xxx];
		bool lower = jj >= 'a' && jj <= 'z';
		bool keep = proc_is_printable(jj) || jj == '\r' || jj == '\n';
		unsigned char upper = lower ? static_cast<unsigned char>(jj - ('a' - 'A')) : jj;
		buffer[xxx] = keep ? upper : static_cast<unsigned char>(' ');
	}
	return xxx;
}

// The body goes to the bulletin through this block, in large writes, so
// that a line costs two copies instead of two library calls.
static unsigned char out_block[1 << 16];
static size_t out_used;
static int out_count; // bytes the stream accepted

static void proc_flush_block(void)
{
	out_count += static_cast<int>(fwrite(out_block, 1, out_used, talvex_out));
	out_used = 0;
}

static void proc_emit(const unsigned char *bytes, size_t size)
{
	if (out_used + size > sizeof out_block) {
		proc_flush_block();
		if (size > sizeof out_block) {
			out_count += static_cast<int>(fwrite(bytes, 1, size, talvex_out));
			return;
		}
	}
	memcpy(out_block + out_used, bytes, size);
	out_used += size;
}

// True when no byte of the range needs more than a copy. No early exit,
// so that the compiler can test many bytes at once.
static bool proc_all_printable(const unsigned char *bytes, size_t size)
{
	unsigned char bad = 0;
	for (size_t i = 0; i < size; i++)
		bad |= !proc_is_printable(bytes[i]);
	return bad == 0;
}

// Writes bytes xxx to stop - 1 one at a time: a printable byte as it is, a
// line feed or a carriage return plus line feed as one line break, any
// other byte (after cleanup, a stray carriage return) as a space, reported
// on the console. The byte after stop counts as not a line feed.
static void proc_write_bytes(int xxx, int stop)
{
	for (; xxx < stop; xxx++) {
		unsigned char jj = text_buffer[xxx];
		bool kk_is_line_feed = xxx + 1 < stop && text_buffer[xxx + 1] == '\n';
		if (proc_is_printable(jj)) {
			proc_emit(&jj, 1);
		} else if (jj == '\r' && kk_is_line_feed) {
			proc_emit(line_break, sizeof line_break);
			xxx++;
		} else if (jj == '\n') {
			proc_emit(line_break, sizeof line_break);
		} else {
			printf("ERROR - Non-printable character encountered.\n");
			proc_emit(reinterpret_cast<const unsigned char *>(" "), 1);
		}
	}
}

// Writes the cleaned body line by line. A line of printable bytes ended by
// a line feed or a carriage return plus line feed, or the unterminated
// last line, is copied whole; any other line goes byte by byte. Returns
// the number of bytes the stream accepted.
int proc_write_message(int n)
{
	out_used = 0;
	out_count = 0;
	int xxx = 0;
	while (xxx < n) {
		const unsigned char *line = text_buffer + xxx;
		const auto *found = static_cast<const unsigned char *>(
		        memchr(line, '\n', static_cast<size_t>(n - xxx)));
		int stop = found != nullptr ? static_cast<int>(found - text_buffer) + 1 : n;
		int text_end = found != nullptr ? stop - 1 : n;
		if (found != nullptr && text_end > xxx && text_buffer[text_end - 1] == '\r')
			text_end--;
		if (proc_all_printable(line, static_cast<size_t>(text_end - xxx))) {
			proc_emit(line, static_cast<size_t>(text_end - xxx));
			if (found != nullptr)
				proc_emit(line_break, sizeof line_break);
		} else {
			proc_write_bytes(xxx, stop);
		}
		xxx = stop;
	}
	proc_flush_block();
	return out_count;
}
