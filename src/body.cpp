// Message body: normalise the text to upper-case printable bytes, then
// write it with every line end turned into the bulletin's line break.
#include <cstdint>
#include <cstring>

#include "kelvane.h"

// Character classes of the "C" locale, spelled out so that no locale
// setting can change them.
static bool proc_is_printable(unsigned char c)
{
	return c >= 0x20 && c <= 0x7E;
}

// Lower case becomes upper case; carriage return and line feed stay;
// every other ASCII byte that is not printable becomes a space. Bytes from
// 0x80 up are left for the decoder. No branches, so that the compiler can
// treat many bytes at once.
static unsigned char proc_clean_byte(unsigned char jj)
{
	bool lower = jj >= 'a' && jj <= 'z';
	bool keep = proc_is_printable(jj) || jj == '\r' || jj == '\n' || jj >= 0x80;
	unsigned char upper = lower ? static_cast<unsigned char>(jj - ('a' - 'A')) : jj;
	return keep ? upper : static_cast<unsigned char>(' ');
}

#include "unicode_ascii.inc"

long sizeof_cleaned_text;

static bool proc_is_continuation(unsigned char c)
{
	return (c & 0xC0) == 0x80;
}

// The ASCII byte for the two-byte character of lead and b1, or 0.
static unsigned char proc_ascii_2byte(unsigned lead, unsigned b1)
{
	return unicode_ascii_2byte[(lead & 0x1F) << 6 | (b1 & 0x3F)];
}

// How many of a word's bytes, in memory order, come before the first one
// with its high bit set, given those high bits; 8 for none.
static int proc_ascii_bytes(uint64_t high_bits)
{
	if (high_bits == 0)
		return 8;
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
	return __builtin_clzll(high_bits) / 8;
#else
	return __builtin_ctzll(high_bits) / 8;
#endif
}

// The UTF-8 character at p, before end, that begins with a byte from
// 0x80 up: stores the ASCII byte it becomes at *to, or 0 for none, and
// returns the first byte after it. A byte that does not begin a
// well-formed sequence (no lead byte, an overlong form, a surrogate, a
// code point past U+10FFFF, a sequence cut short) becomes a space on its
// own. Characters past U+FFFF all become spaces.
static const unsigned char *proc_utf8_char(const unsigned char *p, const unsigned char *end,
                                           unsigned char *to)
{
	unsigned lead = p[0];
	long size = end - p;
	*to = ' ';
	if (size < 2 || !proc_is_continuation(p[1]) || lead < 0xC2 || lead > 0xF4)
		return p + 1;
	unsigned b1 = p[1] & 0x3F;
	if (lead < 0xE0) {
		*to = proc_ascii_2byte(lead, b1);
		return p + 2;
	}
	// The second byte's range excludes overlong forms, surrogates and
	// code points past U+10FFFF.
	if (size < 3 || !proc_is_continuation(p[2]) || (lead == 0xE0 && b1 < 0x20) ||
	    (lead == 0xED && b1 >= 0x20) || (lead == 0xF0 && b1 < 0x10) ||
	    (lead == 0xF4 && b1 >= 0x10))
		return p + 1;
	if (lead < 0xF0) {
		unsigned code = (lead & 0x0F) << 12 | b1 << 6 | (p[2] & 0x3F);
		*to = unicode_ascii_pages[unicode_ascii_index[code >> 8]][code & 0xFF];
		return p + 3;
	}
	return size < 4 || !proc_is_continuation(p[3]) ? p + 1 : p + 4;
}

// Cleans the body in place. Each well-formed UTF-8 character becomes the
// one ASCII character a reader would take it for (a letter without its
// accent, a plain dash or quote), nothing (a combining mark, a byte-order
// mark), or a space; any other byte from 0x80 up becomes a space, as in
// 8-bit text. Lower case becomes upper case, CR and LF stay, and other
// control bytes become spaces. The body shrinks as characters of several
// bytes become one byte or none: its new size is left in
// sizeof_cleaned_text. Returns the number of bytes examined.
int proc_cleanup_text(int n)
{
	// First the ASCII bytes, in place and without branches, so that the
	// compiler can treat many bytes at once; most bodies end here.
	unsigned char *buffer = text_buffer;
	unsigned char high = 0;
	int xxx = 0;
	for (; xxx < n; xxx++) {
		high |= buffer[xxx];
		buffer[xxx] = proc_clean_byte(buffer[xxx]);
	}
	sizeof_cleaned_text = n;
	if (high < 0x80)
		return xxx;
	// Then the characters from 0x80 up, moving the body down as it
	// shrinks. The ASCII bytes before each go a word of eight at a time,
	// where the word is all ASCII or where storing it whole overwrites no
	// byte still to be read; both ends then move on by the ASCII bytes it
	// begins with.
	const unsigned char *from = buffer;
	const unsigned char *end = buffer + n;
	unsigned char *to = buffer;
	const unsigned char *word_end = n >= 8 ? end - 7 : buffer; // where words fit
	while (from < end) {
		uint64_t word = 0;
		uint64_t high_bits = 1;
		if (from < word_end) {
			memcpy(&word, from, sizeof word);
			high_bits = word & 0x8080808080808080U;
		}
		if (high_bits == 0 || (from < word_end && from - to >= 8)) {
			memcpy(to, &word, sizeof word);
			int ascii = proc_ascii_bytes(high_bits);
			from += ascii;
			to += ascii;
			if (ascii == 8)
				continue;
			// A character of two bytes, the commonest, that the word
			// holds whole needs no check of the body's end.
			if (ascii < 7 && from[0] - 0xC2U <= 0xDF - 0xC2 &&
			    proc_is_continuation(from[1])) {
				*to = proc_ascii_2byte(from[0], from[1]);
				to += *to != 0;
				from += 2;
				continue;
			}
		} else if (*from < 0x80) {
			*to++ = *from++;
			continue;
		}
		from = proc_utf8_char(from, end, to);
		to += *to != 0;
	}
	sizeof_cleaned_text = to - buffer;
	return n;
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

// True when no byte of the line's text needs more than a copy. After
// cleanup every byte is printable, a CR or a LF, and the text holds no LF:
// only a CR needs more.
static bool proc_all_printable(const unsigned char *bytes, size_t size)
{
	return memchr(bytes, '\r', size) == nullptr;
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
