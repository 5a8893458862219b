#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_names.h"

#include "kelvane.h"

namespace {

struct BodyCase {
	const char *name;
	std::string in;
	std::string out;
	int reports; // "Non-printable" lines on the console
};

// Numbered lines "l000000" to "l009999", each ended by a line feed, as
// they are read and as they are written: several write blocks of short
// lines.
std::string numbered_lines(bool written)
{
	std::string lines;
	char line[16];
	for (int i = 0; i < 10000; i++) {
		snprintf(line, sizeof line, written ? "L%06d\r\r\n" : "l%06d\n", i);
		lines += line;
	}
	return lines;
}

// clang-format off
const BodyCase body_cases[] = {
    {"crlf", "ab\r\ncd", "AB\r\r\nCD", 0},
    {"lone lf", "hello\nworld\n", "HELLO\r\r\nWORLD\r\r\n", 0},
    {"empty line", "a\n\nb", "A\r\r\n\r\r\nB", 0},
    {"lone cr", "a\rb\n", "A B\r\r\n", 1},
    {"cr at end", "ab\r", "AB ", 1},
    {"cr cr lf", "\r\r\n", " \r\r\n", 1},
    {"tab, 8-bit, del, nul", std::string("a\tb\xe9z\x7f\0\x0c=\n", 10), "A B Z   =\r\r\n", 0},
    {"punctuation passes", "x=1; {y}~|`@\n", "X=1; {Y}~|`@\r\r\n", 0},
    {"no line end", "abc", "ABC", 0},
    {"line longer than the write block", std::string(70000, 'q') + "\r\nz\rq",
     std::string(70000, 'Q') + "\r\r\nZ Q", 1},
    {"printable boundaries", "\x1f\x20\x7e\x7f\n", "  ~ \r\r\n", 0},
    {"printable boundaries byte by byte", "\r\x1f\x20\x7e\x7f\n", "   ~ \r\r\n", 1},
    {"line starting with cr", "ab\n\rc\n", "AB\r\r\n C\r\r\n", 1},
    {"many lines over several write blocks", numbered_lines(false), numbered_lines(true), 0},
    // UTF-8: each character becomes the ASCII character it looks like.
    {"zero-width", "a\u0301b\u200b\u200c\u200dc\u2060\ufeffd\u036f\n", "ABCD\r\r\n", 0},
    {"spaces", "\u00a0|\u2000|\u200a|\u202f|\u205f|\u3000\n", " | | | | | \r\r\n", 0},
    {"dashes and minus", "\u2010\u2013\u2015\u2212\ufe58\ufe63\n", "------\r\r\n", 0},
    {"single quotes", "\u2018\u201b\u2032\n", "'''\r\r\n", 0},
    {"double quotes", "\u201c\u201f\u2033\n", "\"\"\"\r\r\n", 0},
    {"times and slashes", "3\u00d74 1\u20442\u22153\n", "3X4 1/2/3\r\r\n", 0},
    {"fullwidth", "\uff01\uff21\uff41\uff5e\n", "!AA~\r\r\n", 0},
    {"accented letters", "\u00c0\u00e9\u00f1\u00e7\u0151\u017e\u0219\u1ec7\u212a\n", "AENCOZSEK\r\r\n", 0},
    {"stroked letters", "\u00d8\u00f8\u0110\u0111\u0126\u0127\u0131\u0141\u0142\u0166\u0167\n",
     "OODDHHILLTT\r\r\n", 0},
    {"others one space each", "<\u00b0\u20ac\u00df\u2260\u03b1\u4e2d\U0001f600\u0085\u01c5\u017f>\n",
     "<          >\r\r\n", 0},
    {"minus and degree", "Temp at FL100: \u22125\u00b0C\n", "TEMP AT FL100: -5 C\r\r\n", 0},
    {"mark, quotes, combining", "\ufeff\u00c9ruption \u201cS\u00e3o Paulo\u201d \u00e9 \u2260 e\u0301\n",
     "ERUPTION \"SAO PAULO\" E   E\r\r\n", 0},
    {"8-bit, lone lead, cut at the end", "caf\xe9 \xc3 \xe2\x88", "CAF      ", 0},
    {"overlong, surrogate, past U+10FFFF", "\xc0\xaf|\xed\xa0\x80|\xf4\x90\x80\x80|\xf5\n",
     "  |   |    | \r\r\n", 0},
    {"cut short by another byte", "\xe2\x88z\xf0\x9f\x98\n\xc3\r\n", "  Z   \r\r\n \r\r\n", 0},
    {"four bytes inside and at the very end", "x\U0001f600y\U0001f600", "X Y ", 0},
    {"shrinks below its size", "\u00e9\u00e9\u00e9\n", "EEE\r\r\n", 0},
    {"lead byte cut short after the body shrank", "\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\xc3" "A\xa9" "bcdefgh\n",
     "EEEEEEEE A BCDEFGH\r\r\n", 0},
    {"seven ascii bytes at the end", "\u00e9abcdefg", "EABCDEFG", 0},
    {"seven ascii bytes after the body shrank", "\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9abcdefg",
     "EEEEEEEEABCDEFG", 0},
    {"characters among long ascii runs", std::string(40, 'x') + "\u00e9" + std::string(40, 'y') + "\u2014\n",
     std::string(40, 'X') + "E" + std::string(40, 'Y') + "-\r\r\n", 0},
};
// clang-format on

PRINT_ROW_NAME(BodyCase)

class BodyTest : public testing::TestWithParam<BodyCase> {};

TEST_P(BodyTest, CleansAndWrites)
{
	const BodyCase &c = GetParam();
	// A line feed behind the body, which neither pass may take for part
	// of it.
	std::vector<unsigned char> buffer(c.in.begin(), c.in.end());
	buffer.push_back('\n');
	text_buffer = buffer.data();
	int n = static_cast<int>(c.in.size());
	ASSERT_EQ(proc_cleanup_text(n), n);
	EXPECT_EQ(buffer[n], '\n');
	const int cleaned = static_cast<int>(sizeof_cleaned_text);

	talvex_out = tmpfile();
	ASSERT_NE(talvex_out, nullptr);
	testing::internal::CaptureStdout();
	int count = proc_write_message(cleaned);
	fflush(stdout);
	std::string console = testing::internal::GetCapturedStdout();

	std::string written(static_cast<size_t>(ftell(talvex_out)), '\0');
	rewind(talvex_out);
	ASSERT_EQ(fread(&written[0], 1, written.size(), talvex_out), written.size());
	fclose(talvex_out);
	talvex_out = nullptr;
	text_buffer = nullptr;

	EXPECT_EQ(written, c.out);
	EXPECT_EQ(count, static_cast<int>(c.out.size()));
	std::string report;
	for (int i = 0; i < c.reports; i++)
		report += "ERROR - Non-printable character encountered.\n";
	EXPECT_EQ(console, report);
}

INSTANTIATE_TEST_SUITE_P(Bytes, BodyTest, testing::ValuesIn(body_cases), RowName());

} // namespace
