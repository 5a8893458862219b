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
    {"line starting with cr", "ab\n\rc\n", "AB\r\r\n C\r\r\n", 1},
    {"many lines over several write blocks", numbered_lines(false), numbered_lines(true), 0},
};
// clang-format on

PRINT_ROW_NAME(BodyCase)

class BodyTest : public testing::TestWithParam<BodyCase> {};

TEST_P(BodyTest, CleansAndWrites)
{
	const BodyCase &c = GetParam();
	std::vector<unsigned char> buffer(c.in.begin(), c.in.end());
	text_buffer = buffer.data();
	int n = static_cast<int>(buffer.size());
	ASSERT_EQ(proc_cleanup_text(n), n);

	talvex_out = tmpfile();
	ASSERT_NE(talvex_out, nullptr);
	testing::internal::CaptureStdout();
	int count = proc_write_message(n);
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
