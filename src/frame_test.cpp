#include <climits>
#include <string>

#include <gtest/gtest.h>

#include "kelvane.h"

namespace {

TEST(Frame, OneClockReadingGivesNameAndHeading)
{
	struct Row {
		long clock;
		int option;
		const char *name;
		const char *heading;
	};
	// clang-format off
	const Row rows[] = {
	    {1796631330, 36, "BRAX_07.081530", "NOUS71 BRAX 070815"}, // 2026-12-07 08:15:30
	    {1798761909, 2, "BRAX_01.000509", "WWIO20 BRAX 010005"},  // 2027-01-01 00:05:09
	    {1798761599, 35, "BRAX_31.235959", "FVPS01 NZKL 312359"}, // 2026-12-31 23:59:59
	    {1797588600, 1, "BRAX_18.101000", "TXUS20 BRAX 181010"},  // 2026-12-18 10:10:00
	    {1798574382, 37, "BRAX_29.195942", "NOUS72 BRAX 291959"}, // 2026-12-29 19:59:42
	    {LONG_MAX, 2, "BRAX_01.000000", "WWIO20 BRAX 010000"},      // past gmtime's years: the epoch
	};
	// clang-format on
	for (const Row &r : rows) {
		proc_set_clock(r.clock);
		proc_talvex_filename();
		EXPECT_EQ(std::string(talvex_filename), r.name);
		EXPECT_EQ(proc_wmo_header(r.option), r.option);
		EXPECT_EQ(std::string(wmo_header, sizeof_wmo_header), r.heading);
	}
}

TEST(Frame, HeadingRefusesOptionsWithoutARow)
{
	for (int bad : {0, -1, 38, 1000})
		EXPECT_EQ(proc_wmo_header(bad), 0) << bad;
	EXPECT_EQ(proc_make_ascii(10), '?');
	EXPECT_EQ(proc_make_ascii(-1), '?');
}

TEST(Frame, FlagLineCarriesSixDigits)
{
	struct Row {
		long length;
		int result;
		const char *flag;
	};
	const Row rows[] = {
	        {7, 0, "####018000007####\n"},
	        {999999, 0, "####018999999####\n"},
	        {1000000, 1, "####018999999####\n"}, // refused: flag line unchanged
	        {-1, 1, "####018999999####\n"},
	};
	for (const Row &r : rows) {
		EXPECT_EQ(proc_bulletin_length(r.length), r.result) << r.length;
		proc_flag_field_separator();
		EXPECT_EQ(std::string(flag_line, sizeof_flag_line), r.flag) << r.length;
	}
}

TEST(CommandLine, OptionNumberAsAtoiWithoutOverflow)
{
	struct Row {
		const char *text;
		int option;
	};
	// clang-format off
	const Row rows[] = {
	    {"7", 7},   {"7x", 7},  {" \t+12", 12}, {"0037", 37}, {"1", 1},
	    {"0", 0},   {"38", 0},  {"-3", 0},      {"-0", 0},    {"abc", 0},
	    {"", 0},    {"+", 0},   {"99999999999999999999", 0},  {"-99999999999999999999", 0},
	    {"*5", 0},  {",5", 0},  {"+-5", 0},     {"--5", 0},
	};
	// clang-format on
	for (const Row &r : rows)
		EXPECT_EQ(proc_option_number(r.text), r.option) << '"' << r.text << '"';
}

} // namespace
