// End-to-end tests: the real binary in a scratch folder, under faketime
// where the clock shows in names and headings.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "test_names.h"

namespace fs = std::filesystem;

namespace {

const char *const fixed_clock = "2026-12-07 08:15:30";
const char *const fixed_name = "BRAX_07.081530";

struct Outcome {
	int status;
	std::string console;
};

bool have(const std::string &tool)
{
	return system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// Skips a test that needs a tool (faketime for a fixed clock, strace or
// fiu-run to inject a fault) where it is missing; CI sets KELVANE_NO_SKIP
// so that a missing tool fails instead.
#define REQUIRE_TOOL(tool)                                                                         \
	do {                                                                                       \
		if (!have(tool)) {                                                                 \
			if (getenv("KELVANE_NO_SKIP") != nullptr)                                  \
				FAIL() << (tool) << " is not installed";                           \
			GTEST_SKIP() << (tool) << " is not installed";                             \
		}                                                                                  \
	} while (0)
#define REQUIRE_FAKETIME() REQUIRE_TOOL("faketime")

// Runs kelvane in dir with args; with a clock, under faketime frozen at it;
// with an fsize limit, as on a disk that holds only that many bytes a file.
// With KELVANE_VALGRIND set, under valgrind's memcheck, whose errors and
// leaks end the run with status 99. With closed_std, the program starts
// with standard input and output closed. With tool, under that fault
// injector: libfiu's (words starting with "env") outside faketime, so that
// faketime keeps its library, strace's inside, so that it sees only the
// program's own calls.
Outcome run_kelvane(const fs::path &dir, const std::vector<std::string> &args, bool clock,
                    long fsize = 0, bool closed_std = false,
                    const std::vector<std::string> &tool = {})
{
	const bool outer = !tool.empty() && tool[0] == "env";
	std::vector<std::string> argv;
	if (outer)
		argv = tool;
	if (clock)
		argv.insert(argv.end(), {"faketime", "-f", fixed_clock});
	if (!outer)
		argv.insert(argv.end(), tool.begin(), tool.end());
	// Closed right before the program starts: faketime itself opens files.
	if (closed_std)
		argv.insert(argv.end(), {"sh", "-c", "exec <&- >&- \"$0\" \"$@\""});
	if (getenv("KELVANE_VALGRIND") != nullptr)
		argv.insert(argv.end(), {"valgrind", "--quiet", "--vgdb=no", "--error-exitcode=99",
		                         "--leak-check=full", "--show-leak-kinds=all",
		                         "--errors-for-leak-kinds=definite,indirect,possible"});
	argv.push_back(KELVANE_BIN);
	argv.insert(argv.end(), args.begin(), args.end());
	std::vector<char *> cargv;
	for (std::string &a : argv)
		cargv.push_back(&a[0]);
	cargv.push_back(nullptr);

	int out[2];
	if (pipe(out) != 0)
		return {-1, "pipe failed"};
	pid_t pid = fork();
	if (pid == 0) {
		dup2(out[1], 1);
		close(out[0]);
		close(out[1]);
		if (chdir(dir.c_str()) != 0)
			_exit(126);
		if (fsize > 0) {
			struct rlimit limit = {static_cast<rlim_t>(fsize),
			                       static_cast<rlim_t>(fsize)};
			setrlimit(RLIMIT_FSIZE, &limit);
			signal(SIGXFSZ, SIG_IGN);
		}
		setenv("TZ", "UTC", 1);
		execvp(cargv[0], cargv.data());
		_exit(127);
	}
	close(out[1]);
	std::string console;
	char chunk[4096];
	ssize_t got;
	while ((got = read(out[0], chunk, sizeof chunk)) > 0)
		console.append(chunk, static_cast<size_t>(got));
	close(out[0]);
	int status = 0;
	waitpid(pid, &status, 0);
	return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), console};
}

std::string read_file(const fs::path &path)
{
	std::ifstream in(path, std::ios::binary);
	std::ostringstream text;
	text << in.rdbuf();
	return text.str();
}

void write_file(const fs::path &path, const std::string &bytes)
{
	std::ofstream(path, std::ios::binary) << bytes;
}

// "name:size" for each regular file, "name:-" for anything else, sorted;
// the record of names every run keeps is left out.
std::string listing(const fs::path &dir)
{
	std::vector<std::string> names;
	for (const fs::directory_entry &e : fs::directory_iterator(dir)) {
		std::string name = e.path().filename().string();
		if (name == "kelvane.names")
			continue;
		if (name.size() > 40)
			name = name.substr(0, 8) + "..." + std::to_string(name.size());
		names.push_back(name + ":" +
		                (fs::is_regular_file(e.symlink_status())
		                         ? std::to_string(e.file_size())
		                         : std::string("-")));
	}
	std::sort(names.begin(), names.end());
	std::string all;
	for (const std::string &n : names)
		all += (all.empty() ? "" : " ") + n;
	return all;
}

class Scratch : public testing::Test {
protected:
	void SetUp() override
	{
		char templ[] = "/tmp/kelvane-test-XXXXXX";
		ASSERT_NE(mkdtemp(templ), nullptr);
		dir = templ;
	}
	void TearDown() override { fs::remove_all(dir); }
	fs::path dir;
};

const char *const worked_example_console =
        "Valid option selected == 36.\n"
        "Text message is intended for ZELVA distribution.\n"
        "Text message is from QIS Help Desk operator.\n"
        "Text message file opened successfully - note.txt -.\n"
        "size of input textfile = 12 bytes.\n"
        "preliminary bulletin_length = 000030 bytes.\n"
        "GMT time is: Mon Dec  7 08:15:30 2026\n\n"
        "TALVEX file-name = BRAX_07.081530\n"
        "TALVEX output file created - BRAX_07.081530 \n"
        "Writing TALVEX flag-line-separator to output disk file.\n"
        "TALVEX flag-line-separator written successfully.\n"
        "TALVEX-header build completed successfully.\n"
        "Writing WMO-header to TALVEX output disk file.\n"
        "WMO-header written successfully.\n"
        "Text message (12 bytes) read successfully.\n"
        "12 bytes of text buffer cleaned up successfully.\n"
        "Writing text message contents to TALVEX output file.\n"
        "16 bytes of TALVEX output file written successfully.\n"
        "corrected bulletin_length = 000053 bytes.\n"
        "Re-writing Flag-line-separator to disk file.\n"
        "New flag-line-separator written successfully.\n"
        "Text message converted into TALVEX format.\n"
        "\nStart code to make ftp 'command.txt' script.\n"
        "FTP script file opened for input - command.txt \n"
        "FTP script file completed - command.txt \n"
        "FTP script file created successfully.\n";
// The upload script for a bulletin of that name.
std::string script_for(const std::string &name)
{
	return "lcd .\ncd /data/talvex/data/\npwd\nput " + name + "\ndir " + name + "\nbye\n";
}
const std::string worked_example_script = script_for(fixed_name);

TEST_F(Scratch, WorkedExampleByteForByte)
{
	REQUIRE_FAKETIME();
	write_file(dir / "note.txt", "hello\nworld\n");
	Outcome run = run_kelvane(dir, {"36", "note.txt"}, true);
	EXPECT_EQ(run.status, 0);
	EXPECT_EQ(run.console, worked_example_console);
	EXPECT_EQ(read_file(dir / fixed_name), "####018000053####\n"
	                                       "NOUS71 BRAX 070815\r\r\n"
	                                       "ADAQOV\r\r\n"
	                                       "HELLO\r\r\nWORLD\r\r\n"
	                                       "\r\r\n=\r\r\n");
	EXPECT_EQ(read_file(dir / "note.txt"), "hello\nworld\n");
	EXPECT_EQ(read_file(dir / "command.txt"), worked_example_script);
}

TEST_F(Scratch, FailedConversionKeepsEarlierScript)
{
	REQUIRE_FAKETIME();
	const std::string earlier(100, '#'); // longer than any new script
	write_file(dir / "command.txt", earlier);
	write_file(dir / "note.txt", "no line feed");
	EXPECT_EQ(run_kelvane(dir, {"36", "note.txt"}, true).status, 1);
	EXPECT_EQ(read_file(dir / "command.txt"), earlier);
	fs::remove(dir / fixed_name); // the name is free again only without its record
	fs::remove(dir / "kelvane.names");
	write_file(dir / "note.txt", "hello\nworld\n");
	EXPECT_EQ(run_kelvane(dir, {"36", "note.txt"}, true).status, 0);
	EXPECT_EQ(read_file(dir / "command.txt"), worked_example_script);
}

TEST_F(Scratch, MeteorologistHeadingSkippedAndRewritten)
{
	REQUIRE_FAKETIME();
	struct Row {
		const char *terminator;
		const char *option;
		const char *classes; // console lines from the option on
		const char *flag;
		const char *heading; // the new heading and what follows it up to the body
		// The two lines of text, and what they become.
		const char *first = "strong wind";
		const char *second = "warning";
		const char *body = "STRONG WIND\r\r\nWARNING\r\r\n";
	};
	// clang-format off
	const Row rows[] = {
	    {"\n", "3", "Valid option selected == 3.\nText message is from TAV Meteorologist.\n",
	     "####018000052####\n", "WWIO21 BRAX 070815\r\r\n"},
	    {"\r\n", "3", "Valid option selected == 3.\nText message is from TAV Meteorologist.\n",
	     "####018000052####\n", "WWIO21 BRAX 070815\r\r\n"},
	    {"\n", "1", "Valid option selected == 1.\nText message is intended for ZELVA distribution.\n"
	     "Text message is from TAV Meteorologist.\n",
	     "####018000061####\n", "TXUS20 BRAX 070815\r\r\nSPEQOV\r\r\n"},
	    // UTF-8 text: each character becomes one, the minus sign a dash.
	    {"\n", "3", "Valid option selected == 3.\nText message is from TAV Meteorologist.\n",
	     "####018000088####\n", "WWIO21 BRAX 070815\r\r\n",
	     "\xc3\x89ruption du volc\xc3\xa1n: cendres \xc3\xa0 FL350",
	     "Temp at FL100: \xe2\x88\x92" "5\xc2\xb0" "C",
	     "ERUPTION DU VOLCAN: CENDRES A FL350\r\r\nTEMP AT FL100: -5 C\r\r\n"},
	};
	// clang-format on
	for (const Row &r : rows) {
		fs::remove(dir / fixed_name);
		fs::remove(dir / "kelvane.names");
		const std::string eol = r.terminator;
		const std::string rest = eol + r.first + eol + r.second + eol;
		write_file(dir / "met.txt", "WWIO21 BRAX 010000" + rest);
		Outcome run = run_kelvane(dir, {r.option, "met.txt"}, true);
		EXPECT_EQ(run.status, 0) << run.console;
		EXPECT_EQ(run.console.find(r.classes), 0U) << run.console;
		EXPECT_EQ(read_file(dir / fixed_name),
		          std::string(r.flag) + r.heading + r.body + "\r\r\n=\r\r\n");
		EXPECT_EQ(read_file(dir / "met.txt"), std::string(r.heading, 18) + rest);
	}
}

// Runs that share a folder and a second each get a bulletin of their own:
// under a fake clock, each ends with its bulletin or #03, and more than one
// gets one; on the real clock every run waits for a second of its own.
TEST_F(Scratch, SimultaneousRunsNeverShareABulletin)
{
	REQUIRE_FAKETIME();
	struct Row {
		const char *clock; // what goes before the program
		int runs;
		bool all_complete;
		const char *heading; // the day-hour-minute of the heading, or ""
	};
	const Row rows[] = {
	        {"faketime -f '@2026-12-07 08:15:30' ", 4, false, "070815"},
	        {"", 8, true, ""},
	};
	for (const Row &r : rows) {
		std::string script = "cd '" + dir.string() + "' || exit 1\n";
		for (int i = 0; i < r.runs; i++) {
			const std::string n = std::to_string(i);
			write_file(dir / ("m" + n + ".txt"), "message " + n + "\n");
			script += "(TZ=UTC " + std::string(r.clock) + KELVANE_BIN + " 36 m" + n +
			          ".txt >m" + n + ".log; echo $? >m" + n + ".status) &\n";
		}
		ASSERT_EQ(system((script + "wait\n").c_str()), 0);
		std::vector<std::string> names;
		for (int i = 0; i < r.runs; i++) {
			const std::string n = std::to_string(i);
			const std::string console = read_file(dir / ("m" + n + ".log"));
			const std::string status = read_file(dir / ("m" + n + ".status"));
			if (status == "1\n" && !r.all_complete) {
				EXPECT_NE(console.find("ERROR #03"), std::string::npos) << console;
				continue;
			}
			ASSERT_EQ(status, "0\n") << console;
			const std::string created = "TALVEX output file created - ";
			const size_t at = console.find(created);
			ASSERT_NE(at, std::string::npos) << console;
			const std::string name = console.substr(at + created.size(), 14);
			EXPECT_EQ(std::count(names.begin(), names.end(), name), 0) << name;
			names.push_back(name);
			const std::string bulletin = read_file(dir / name);
			EXPECT_EQ(bulletin.substr(0, 30), "####018000049####\nNOUS71 BRAX ");
			EXPECT_EQ(bulletin.substr(bulletin.size() - 31),
			          "\r\r\nADAQOV\r\r\nMESSAGE " + n + "\r\r\n\r\r\n=\r\r\n");
			if (*r.heading != '\0') {
				EXPECT_EQ(bulletin.substr(30, 6), r.heading);
			}
			fs::remove(dir / name);
		}
		// One name a second: the runs that found theirs taken waited for
		// the next second rather than giving up at once. Each recorded its
		// name, none lost to another's line.
		EXPECT_GT(names.size(), 1U);
		const std::string record = read_file(dir / "kelvane.names");
		EXPECT_EQ(std::count(record.begin(), record.end(), '\n'), long(names.size()))
		        << record;
		fs::remove(dir / "kelvane.names");
	}
}

// A name is given again only 32 days after its last use, whatever became of
// its bulletin: the run takes the first second from the clock on whose name
// the record of names does not hold from the last 32 days, and records it.
// A job at the same time each month so gets its own second, or the next.
TEST_F(Scratch, NamesOfTheLast32DaysAreNotGivenAgain)
{
	REQUIRE_FAKETIME();
	const long clock = 1799301600; // 2027-01-07 06:00:00 UTC
	const long day = 86400;
	struct Row {
		const char *name;
		std::vector<std::pair<long, std::string>> record; // seconds before the clock, name
		const char *bulletin;
		size_t kept; // lines of the record kept: it drops those of over 48 days
	};
	std::vector<std::pair<long, std::string>> job, alternating;
	for (int month = 60; month >= 1; month--) { // the oldest first, as the record grows
		const long before = 31 * day + (month - 1) * 30 * day;
		job.emplace_back(before, "BRAX_07.0600" +
		                                 std::string(1, char('0' + (month - 1) / 10)) +
		                                 char('0' + (month - 1) % 10));
		alternating.emplace_back(before,
		                         month % 2 == 1 ? "BRAX_07.060001" : "BRAX_07.060000");
	}
	const Row rows[] = {
	        {"used 31 days ago", {{31 * day, "BRAX_07.060000"}}, "BRAX_07.060001", 1},
	        {"used 33 days ago", {{33 * day, "BRAX_07.060000"}}, "BRAX_07.060000", 1},
	        {"recorded after the clock", {{-day, "BRAX_07.060000"}}, "BRAX_07.060001", 1},
	        {"another second used", {{day, "BRAX_07.060001"}}, "BRAX_07.060000", 1},
	        {"60 earlier names, last month's at the job's second", job, "BRAX_07.060001", 1},
	        {"60 earlier names, last month's a second late", alternating, "BRAX_07.060000", 1},
	};
	for (const Row &r : rows) {
		std::string record;
		for (const auto &line : r.record) {
			char text[32];
			snprintf(text, sizeof text, "%010ld ", clock - line.first);
			record += text + line.second + "\n";
		}
		write_file(dir / "kelvane.names", record);
		write_file(dir / "note.txt", "hello\n");
		const std::string run =
		        "cd '" + dir.string() +
		        "' && TZ=UTC NO_FAKE_STAT=1 faketime -f '@2027-01-07 06:00:00' " +
		        KELVANE_BIN + " 36 note.txt >log";
		EXPECT_EQ(system(run.c_str()), 0) << r.name << "\n" << read_file(dir / "log");
		EXPECT_TRUE(fs::exists(dir / r.bulletin)) << r.name << ": " << listing(dir);
		char added[32];
		snprintf(added, sizeof added, "%010ld %s\n", clock + (r.bulletin[13] - '0'),
		         r.bulletin);
		EXPECT_EQ(read_file(dir / "kelvane.names"),
		          record.substr(record.size() - 26 * r.kept) + added)
		        << r.name;
		fs::remove(dir / r.bulletin);
	}
}

// An input that cannot be opened starts no command: stand-ins for the
// diagnostic commands of old, first on PATH, must not run.
TEST_F(Scratch, UnopenedInputRunsNoCommand)
{
	const fs::path bin = dir / "bin";
	fs::create_directory(bin);
	for (const char *command : {"@date", "@time", "@dir"}) {
		write_file(bin / command, "#!/bin/sh\necho " + std::string(command) + " >>'" +
		                                  (dir / "ran").string() + "'\n");
		fs::permissions(bin / command, fs::perms::owner_all);
	}
	const std::string path = getenv("PATH");
	setenv("PATH", (bin.string() + ":" + path).c_str(), 1);
	Outcome run = run_kelvane(dir, {"36", "missing.txt"}, false);
	setenv("PATH", path.c_str(), 1);
	EXPECT_EQ(run.status, 1);
	EXPECT_FALSE(fs::exists(dir / "ran")) << read_file(dir / "ran");
}

struct FailCase {
	const char *name;
	std::vector<std::string> args;
	// "file": the last argument names a file holding input; "fifo", "dir":
	// it names a FIFO, a folder. With an input file as well: "taken", the
	// bulletin name is a folder; "taken file", "taken fifo": a file, a
	// FIFO; "taken link": a link to outside/target; "names": the record of
	// names is a folder; "script": command.txt
	// is a folder; "script link": a link to outside/target; "earlier
	// script": an earlier command.txt; "closed": the run starts with
	// standard input and output closed; "real clock": the run is not
	// under faketime.
	const char *setup;
	std::string input;
	long fsize; // largest file the run may write, 0 for no limit
	int status;
	std::string console; // must appear in the console log
	const char *files;   // the folder afterwards, or "?" for not compared
	const char *flag;    // the bulletin's flag line, when one is left
	// The fault that makes one step fail: "strace WORDS", where {dir} is
	// the scratch folder and when=@TEXT the number of the first call of
	// the injected system call whose traced line holds TEXT (a trailing +:
	// that call and every later one); "fiu SEED COMMAND", a libfiu command
	// whose random choices fall alike on every run of that seed; or
	// "prlimit WORDS", a resource limit.
	const char *inject = "";
};

const std::string long_name = std::string(200, 'n') + ".txt";
// The numbered errors and the cause lines under them; {dir} stands for the
// scratch folder.
const std::string name_taken = "ERROR #03 - Unable to open TALVEX output file - BRAX_07.081530 \n"
                               "          - File exists: cannot create BRAX_07.081530 in {dir}\n";
const std::string not_a_heading =
        "ERROR #16 - TEXT message file does not begin with an 18-character heading line - "
        "note.txt\n          - Options 1 to 35 need a first line such as \"WWIO20 BRAX 070815\" "
        "(four letters, two digits, a space, four letters, a space, six digits); a help-desk "
        "note takes option 36 or 37\n";
const std::string ranges = "          - Options are 1 to 35 for a meteorologist's message and 36 "
                           "or 37 for a help desk's: see kelvane(1)\n";
const std::string no_line_feed = "ERROR #10 - Did not write TALVEX output file properly.\n"
                                 "          - The text has no line feed: end its last line with "
                                 "one\n";
const std::string too_long = "          - The flag line carries at most 999999 bytes after it, so "
                             "a message may have at most 999981 bytes: split it into several\n";
// ERROR #12 with the reason the script could not be written.
std::string no_script(const std::string &reason)
{
	return "ERROR #12 - Unable to create ftp script file - command.txt.\n          - " +
	       reason + ": cannot write command.txt in {dir}\n";
}
// ERROR #02 for a file that cannot be opened, with the reason.
std::string unopened(const std::string &name, const std::string &reason)
{
	return "ERROR #02 - Unable to open input TEXT message file - " + name + "\n          - " +
	       reason + ": " + name + " must be a text file you may read and write\n\n";
}
const std::string usage = "\nkelvane: command line input as follows:\n"
                          "\nkelvane  option  TEXT-filename\n"
                          "\n--> where 'option' is a number from 1 to 37 inclusive\n\n";

// Inputs at the edge of the six-digit length: 18 + size over 999999 is
// refused at once; a corrected length of 1000001 only at the end.
const std::string at_limit = std::string(999959, 'a') + "\n";
const std::string over_limit = std::string(999961, 'a') + "\n";

// clang-format off
// 64 KiB of bytes from a fixed linear congruential sequence.
std::string make_random_bytes()
{
	std::string bytes(65536, '\0');
	unsigned state = 12345;
	for (char &b : bytes) {
		state = state * 1103515245u + 12345u;
		b = static_cast<char>(state >> 16);
	}
	return bytes;
}
const std::string random_bytes = make_random_bytes();
// Enough stray carriage returns that their console lines overflow the
// console's buffer while the bulletin is still open.
const std::string stray_returns = "hello\n" + std::string(250, '\r') + "\nworld\n";

const FailCase cases[] = {
    {"no arguments", {}, "", "", 0, 1, usage, "", ""},
    {"one argument", {"36"}, "", "", 0, 1, usage, "", ""},
    {"three arguments", {"36", "a", "b"}, "", "", 0, 1, usage, "", ""},
    {"option 0", {"0", "note.txt"}, "", "", 0, 1,
     "ERROR #01 - Invalid option entered for TEXT message type.\n"
     "          - Option number entered was 0\n" + ranges, "", ""},
    {"option 38", {"38", "x"}, "", "", 0, 1, "Option number entered was 38\n" + ranges, "", ""},
    {"option -3", {"-3", "x"}, "", "", 0, 1, "Option number entered was -3\n" + ranges, "", ""},
    {"option abc", {"abc", "x"}, "", "", 0, 1, "Option number entered was abc\n" + ranges, "", ""},
    {"option huge", {"4294967333", "x"}, "", "", 0, 1, "Option number entered was 4294967333\n" + ranges, "", ""},
    {"option 7x", {"7x", "note.txt"}, "file", "WWPN20 BRAX 000000\na\n", 0, 0,
     "Valid option selected == 7.\n", "BRAX_07.081530:50 command.txt:74 note.txt:21", "####018000032####\n"},
    {"missing input", {"36", "missing.txt"}, "", "", 0, 1,
     unopened("missing.txt", "No such file or directory"), "", ""},
    {"quote injection", {"36", "x'; touch PWNED; '"}, "", "", 0, 1,
     unopened("x'; touch PWNED; '", "No such file or directory"), "", ""},
    {"substitution injection", {"36", "$(touch PWNED)"}, "", "", 0, 1,
     unopened("$(touch PWNED)", "No such file or directory"), "", ""},
    {"long input name", {"36", long_name}, "file", "a\n", 0, 0,
     "Text message file opened successfully - " + long_name + " -.\n",
     "BRAX_07.081530:59 command.txt:74 nnnnnnnn...204:2", "####018000041####\n"},
    {"bulletin name taken", {"36", "note.txt"}, "taken", "a\n", 0, 1,
     name_taken,
     "BRAX_07.081530:- note.txt:2", ""},
    {"empty help-desk input", {"36", "note.txt"}, "file", "", 0, 1,
     "WMO-header written successfully.\nERROR #08 - Unable to read text message contents.\n"
     "          - The file is empty: write the message into it\n",
     "BRAX_07.081530:36 note.txt:0", "####018000018####\n"},
    {"heading line only", {"5", "note.txt"}, "file", "WWPN20 BRAX 010000\r\n", 0, 1,
     "ERROR #08 - Unable to read text message contents.\n"
     "          - The file holds nothing after its heading line: write the message below it\n",
     "BRAX_07.081530:36 note.txt:20", "####018000038####\n"},
    {"no line feed", {"37", "note.txt"}, "file", "abc", 0, 1,
     "3 bytes of text buffer cleaned up successfully.\n"
     "Writing text message contents to TALVEX output file.\n" + no_line_feed,
     "BRAX_07.081530:51 note.txt:3", "####018000021####\n"},
    {"fifo input", {"36", "fifo"}, "fifo", "", 0, 1,
     "ERROR #13 - Unable to determine size of input TEXT message file - fifo\n"
     "          - fifo is a FIFO: give a text file\n", "fifo:-", ""},
    {"character device input", {"36", "/dev/null"}, "", "", 0, 1,
     "ERROR #13 - Unable to determine size of input TEXT message file - /dev/null\n"
     "          - /dev/null is a character device: give a text file\n", "", ""},
    {"too long at once", {"36", "note.txt"}, "file", std::string(999982, 'a'), 0, 1,
     "size of input textfile = 999982 bytes.\n"
     "ERROR #14 - TALVEX bulletin too long for flag-line-separator - 1000000 bytes.\n" + too_long,
     "note.txt:999982", ""},
    {"too long at the end", {"36", "note.txt"}, "file", over_limit, 0, 1,
     "ERROR #14 - TALVEX bulletin too long for flag-line-separator - 1000001 bytes.\n" + too_long,
     "BRAX_07.081530:1000019 note.txt:999962", "####018999980####\n"},
    {"exactly 999999", {"36", "note.txt"}, "file", at_limit, 0, 0,
     "corrected bulletin_length = 999999 bytes.\n",
     "BRAX_07.081530:1000017 command.txt:74 note.txt:999960", "####018999999####\n"},
    {"disk full", {"36", "note.txt"}, "file", "hello\nworld\n", 40, 1,
     "ERROR #15 - Unable to complete TALVEX output file - BRAX_07.081530 \n"
     "          - File too large (writing BRAX_07.081530)\n",
     "BRAX_07.081530:40 note.txt:12", "####018000030####\n"},
    {"random bytes", {"36", "note.txt"}, "file", random_bytes, 0, 0,
     "bytes of TALVEX output file written successfully.\n", "?", ""},
    {"only carriage returns", {"36", "note.txt"}, "file", "\r\r\r\r", 0, 1,
     "ERROR - Non-printable character encountered.\n" + no_line_feed,
     "BRAX_07.081530:52 note.txt:4", "####018000022####\n"},
    {"only line feeds", {"37", "note.txt"}, "file", "\n\n\n", 0, 0,
     "9 bytes of TALVEX output file written successfully.\n",
     "BRAX_07.081530:64 command.txt:74 note.txt:3", "####018000046####\n"},
    {"body shrunk below its size", {"36", "note.txt"}, "file", "\xc3\xa9\xc3\xa9\xc3\xa9\n", 0, 0,
     "7 bytes of text buffer cleaned up successfully.\n"
     "Writing text message contents to TALVEX output file.\n"
     "6 bytes of TALVEX output file written successfully.\n",
     "BRAX_07.081530:61 command.txt:74 note.txt:7", "####018000043####\n"},
    {"nul bytes", {"36", "note.txt"}, "file", std::string("\0\0\0\n", 4), 0, 0,
     "6 bytes of TALVEX output file written successfully.\n",
     "BRAX_07.081530:61 command.txt:74 note.txt:4", "####018000043####\n"},
    {"folder as input", {"36", "adir"}, "dir", "", 0, 1,
     unopened("adir", "Is a directory"), "adir:-", ""},
    {"shell metacharacters in a name", {"36", "a;b $(c) 'd'.txt"}, "file", "a\n", 0, 0,
     "Text message file opened successfully - a;b $(c) 'd'.txt -.\n",
     "BRAX_07.081530:59 a;b $(c) 'd'.txt:2 command.txt:74", "####018000041####\n"},
    {"script name taken", {"36", "note.txt"}, "script", "hello\nworld\n", 0, 1,
     "Text message converted into TALVEX format.\n"
     "\nStart code to make ftp 'command.txt' script.\n" + no_script("Is a directory"),
     "BRAX_07.081530:71 command.txt:- note.txt:12", "####018000053####\n"},
    {"disk full for the script", {"36", "note.txt"}, "file", "hello\nworld\n", 72, 1,
     "FTP script file opened for input - command.txt \n" + no_script("File too large"),
     "BRAX_07.081530:71 note.txt:12", "####018000053####\n"},
    {"earlier script kept on a full disk", {"36", "note.txt"}, "earlier script", "hello\nworld\n", 72, 1,
     "FTP script file opened for input - command.txt \n" + no_script("File too large"),
     "BRAX_07.081530:71 command.txt:100 note.txt:12", "####018000053####\n"},
    {"script name a link", {"36", "note.txt"}, "script link", "hello\nworld\n", 0, 0,
     "FTP script file created successfully.\n",
     "BRAX_07.081530:71 command.txt:74 note.txt:12", "####018000053####\n"},
    {"bulletin name taken by a file", {"36", "note.txt"}, "taken file", "a\n", 0, 1,
     "TALVEX file-name = BRAX_07.081530\n" + name_taken,
     "BRAX_07.081530:10 note.txt:2", ""},
    {"bulletin name a link", {"36", "note.txt"}, "taken link", "a\n", 0, 1,
     name_taken,
     "BRAX_07.081530:- note.txt:2", ""},
    {"bulletin name a fifo", {"36", "note.txt"}, "taken fifo", "a\n", 0, 1,
     name_taken,
     "BRAX_07.081530:- note.txt:2", ""},
    {"record of names a folder", {"36", "note.txt"}, "names", "a\n", 0, 1,
     "ERROR #03 - Unable to open TALVEX output file - BRAX_07.081530 \n"
     "          - Invalid argument: cannot record BRAX_07.081530 in {dir}/kelvane.names\n",
     "note.txt:2", ""},
    {"input named as the bulletin", {"36", "BRAX_07.081530"}, "file", "hello\nworld\n", 0, 1,
     name_taken,
     "BRAX_07.081530:12", ""},
    {"standard output closed", {"36", "note.txt"}, "closed", stray_returns, 0, 1, "",
     "BRAX_07.081530:323 command.txt:74 note.txt:263", "####018000305####\n"},
    {"short first line", {"2", "note.txt"}, "file", "HDR\nGale warning south of 40S.\n", 0, 1,
     "size of input textfile = 31 bytes.\n" + not_a_heading,
     "note.txt:31", ""},
    {"first line of 19 characters", {"2", "note.txt"}, "file", "WWIO20 BRAX 0700001\ntext\n", 0, 1,
     not_a_heading,
     "note.txt:25", ""},
    {"heading and more on its line", {"22", "note.txt"}, "file", "FVAU01 ADRM 070800 CCA\r\ntext\r\n", 0, 1,
     not_a_heading,
     "note.txt:30", ""},
    {"help-desk note as meteorologist", {"3", "note.txt"}, "file", "hello\nworld\n", 0, 1,
     not_a_heading,
     "note.txt:12", ""},
    {"shorter than a heading", {"5", "note.txt"}, "file", "WWPN20 BRAX 0100", 0, 1,
     not_a_heading,
     "note.txt:16", ""},
    {"heading without line end", {"5", "note.txt"}, "file", "WWPN20 BRAX 010000", 0, 1,
     not_a_heading,
     "note.txt:18", ""},
    {"heading ended by a lone cr", {"5", "note.txt"}, "file", "WWPN20 BRAX 010000\rX\ntext\n", 0, 1,
     not_a_heading,
     "note.txt:26", ""},
    {"help-desk note with an 18-character first line", {"2", "note.txt"}, "file",
     "Gateway down today\nfrom 0200 to 0230 UTC.\n", 0, 1, not_a_heading, "note.txt:42", ""},
    {"digit where a letter belongs", {"2", "note.txt"}, "file", "WW1O20 BRAX 010000\ntext\n", 0, 1,
     not_a_heading, "note.txt:24", ""},
    {"lower-case heading", {"2", "note.txt"}, "file", "wwio20 brax 010000\ntext\n", 0, 0,
     "FTP script file created successfully.\n",
     "BRAX_07.081530:53 command.txt:74 note.txt:24", "####018000035####\n"},
    // Faults a healthy disk never shows, injected into one step.
    {"injected flag line not written", {"36", "note.txt"}, "file", "hello\nworld\n", 0, 1,
     "ERROR #04 - Unable to write flag-line-separator to output file.\n"
     "          - Input/output error (writing BRAX_07.081530)\n",
     "BRAX_07.081530:0 note.txt:12", "", "fiu 0 enable name=posix/stdio/rw/fwrite"},
    {"injected heading not written", {"36", "note.txt"}, "file", "hello\nworld\n", 0, 1,
     "TALVEX flag-line-separator written successfully.\n"
     "TALVEX-header build completed successfully.\n"
     "Writing WMO-header to TALVEX output disk file.\n"
     "ERROR #06 - Unable to write WMO-header to output file.\n"
     "          - Input/output error (writing BRAX_07.081530)\n",
     "BRAX_07.081530:18 note.txt:12", "####018000030####\n",
     "fiu 2 enable_random name=posix/stdio/rw/fwrite,probability=0.5"},
    {"injected no memory for the body", {"36", "note.txt"}, "file", std::string(989999, 'a') + "\n", 0, 1,
     "WMO-header written successfully.\nERROR #07 - Malloc failure on pointer 'text_buffer'.\n"
     "          - Cannot allocate memory (990000 bytes for the text)\n",
     "BRAX_07.081530:36 note.txt:990000", "####018990018####\n",
     "prlimit --data=786432"},
    {"injected corrected flag line not written", {"36", "note.txt"}, "file", "hello\nworld\n", 0, 1,
     "Re-writing Flag-line-separator to disk file.\n"
     "ERROR #11 - Unable to write flag-line-separator to output file.\n"
     "          - Input/output error (writing BRAX_07.081530)\n",
     "BRAX_07.081530:71 note.txt:12", "####018000030####\n",
     "strace -P {dir}/BRAX_07.081530 -e inject=lseek:error=EIO:when=2"},
    {"injected bulletin not synced", {"36", "note.txt"}, "earlier script", "hello\nworld\n", 0, 1,
     "New flag-line-separator written successfully.\n"
     "ERROR #15 - Unable to complete TALVEX output file - BRAX_07.081530 \n"
     "          - Input/output error (writing BRAX_07.081530)\n",
     "BRAX_07.081530:71 command.txt:100 note.txt:12", "",
     "strace -P {dir}/BRAX_07.081530 -e inject=fsync:error=EIO"},
    {"injected script not created", {"36", "note.txt"}, "earlier script", "hello\nworld\n", 0, 1,
     "\nStart code to make ftp 'command.txt' script.\n" +
     no_script("No space left on device"),
     "BRAX_07.081530:71 command.txt:100 note.txt:12", "####018000053####\n",
     "strace -e inject=openat:error=ENOSPC:when=@command.txt."},
    {"injected script permissions not set", {"36", "note.txt"}, "earlier script", "hello\nworld\n", 0, 1,
     "\nStart code to make ftp 'command.txt' script.\n" +
     no_script("Operation not permitted"),
     "BRAX_07.081530:71 command.txt:100 note.txt:12", "####018000053####\n",
     "strace -e inject=fchmod:error=EPERM"},
    {"injected script not synced", {"36", "note.txt"}, "earlier script", "hello\nworld\n", 0, 1,
     "FTP script file opened for input - command.txt \n" +
     no_script("Input/output error"),
     "BRAX_07.081530:71 command.txt:100 note.txt:12", "####018000053####\n",
     "strace -e inject=fsync:error=EIO:when=@command.txt."},
    {"injected script not closed", {"36", "note.txt"}, "earlier script", "hello\nworld\n", 0, 1,
     "FTP script file opened for input - command.txt \n" +
     no_script("Input/output error"),
     "BRAX_07.081530:71 command.txt:100 note.txt:12", "####018000053####\n",
     "strace -e inject=close:error=EIO:when=@command.txt."},
    {"injected script not renamed", {"36", "note.txt"}, "earlier script", "hello\nworld\n", 0, 1,
     "FTP script file opened for input - command.txt \n" +
     no_script("Input/output error"),
     "BRAX_07.081530:71 command.txt:100 note.txt:12", "####018000053####\n",
     "strace -e inject=rename:error=EIO"},
    // The new command.txt is in place but its name may not be on disk.
    {"injected folder not synced", {"36", "note.txt"}, "earlier script", "hello\nworld\n", 0, 1,
     "FTP script file opened for input - command.txt \n" +
     no_script("Input/output error"),
     "BRAX_07.081530:71 command.txt:74 note.txt:12", "####018000053####\n",
     "strace -P {dir} -e inject=fsync:error=EIO"},
    {"injected folder that cannot be synced", {"36", "note.txt"}, "earlier script", "hello\nworld\n", 0, 0,
     "FTP script file created successfully.\n",
     "BRAX_07.081530:71 command.txt:74 note.txt:12", "####018000053####\n",
     "strace -P {dir} -e inject=fsync:error=EINVAL"},
    {"injected bulletin stream not opened", {"36", "note.txt"}, "file", "hello\nworld\n", 0, 1,
     "ERROR #03 - Unable to open TALVEX output file - BRAX_07.081530 \n"
     "          - Too many open files: cannot create BRAX_07.081530 in {dir}\n",
     "note.txt:12", "", "fiu 0 enable name=posix/stdio/oc/fdopen"},
    {"injected heading line not read", {"5", "note.txt"}, "file", "WWPN20 BRAX 010000\ntext\n", 0, 1,
     "size of input textfile = 24 bytes.\nERROR #08 - Unable to read text message contents.\n"
     "          - Input/output error (reading note.txt)\n",
     "note.txt:24", "",
     "strace -P {dir}/note.txt -e inject=read:error=EIO"},
    // A read-only folder fails at once: only a taken name is worth waiting for.
    {"injected read-only folder", {"36", "note.txt"}, "real clock", "hello\nworld\n", 0, 1,
     "TALVEX file-name = BRAX_07.081530\n"
     "ERROR #03 - Unable to open TALVEX output file - BRAX_07.081530 \n"
     "          - Read-only file system: cannot create BRAX_07.081530 in {dir}\n",
     "note.txt:12", "",
     "strace -e inject=openat:error=EROFS:when=@BRAX_+"},
};
// clang-format on

PRINT_ROW_NAME(FailCase)

std::vector<std::string> words(const std::string &text)
{
	std::istringstream in(text);
	std::vector<std::string> all;
	for (std::string word; in >> word;)
		all.push_back(word);
	return all;
}

// Runs the row once in a trial folder under strace and returns the number
// of the first call of syscall whose decoded line holds text.
int nth_call(const FailCase &c, const fs::path &dir, bool clock, const std::string &syscall,
             const std::string &text)
{
	const fs::path trial = dir / "trial", trace = dir / "trace.txt";
	fs::create_directory(trial);
	write_file(trial / c.args.back(), c.input);
	run_kelvane(trial, c.args, clock, 0, false,
	            {"strace", "-y", "-o", trace.string(), "-e", "trace=" + syscall});
	std::istringstream lines(read_file(trace));
	fs::remove_all(trial);
	fs::remove(trace);
	int n = 1;
	for (std::string line; std::getline(lines, line); n++) {
		if (line.find(text) != std::string::npos)
			return n;
	}
	ADD_FAILURE() << "no " << syscall << " call holds " << text;
	return 0;
}

// The injector's words for a row, to go before the program.
std::vector<std::string> injector(const FailCase &c, const fs::path &dir, bool clock)
{
	std::vector<std::string> fault = words(c.inject);
	if (fault.empty())
		return {};
	if (fault[0] == "fiu") {
		const std::string command = std::string(c.inject).substr(5 + fault[1].size());
		return {"env",  "FIU_PRNG_SEED=" + fault[1], "fiu-run", "-x", "-f", "", "-c",
		        command};
	}
	std::vector<std::string> tool = {fault[0]};
	if (fault[0] == "strace")
		tool.insert(tool.end(), {"-qq", "-o", "/dev/null"});
	for (std::string word : std::vector<std::string>(fault.begin() + 1, fault.end())) {
		const size_t d = word.find("{dir}");
		if (d != std::string::npos)
			word.replace(d, 5, dir.string());
		const size_t at = word.find(":when=@");
		if (at != std::string::npos) {
			std::string text = word.substr(at + 7);
			const bool onwards = text.back() == '+';
			if (onwards)
				text.pop_back();
			const size_t name = word.find('=') + 1;
			const std::string syscall = word.substr(name, word.find(':') - name);
			word = word.substr(0, at + 6) +
			       std::to_string(nth_call(c, dir, clock, syscall, text)) +
			       (onwards ? "+" : "");
		}
		tool.push_back(word);
	}
	return tool;
}

class FailureTest : public Scratch, public testing::WithParamInterface<FailCase> {};

TEST_P(FailureTest, ErrorStatusAndWhatIsLeft)
{
	REQUIRE_FAKETIME();
	const FailCase &c = GetParam();
	const std::string setup = c.setup;
	const bool has_input = !setup.empty() && setup != "fifo" && setup != "dir";
	const fs::path input = dir / (c.args.empty() ? "" : c.args.back());
	const fs::path bulletin_path = dir / fixed_name, script_path = dir / "command.txt";
	const fs::path outside = dir / "outside" / "target";
	const std::string earlier(100, '#');
	if (has_input)
		write_file(input, c.input);
	fs::create_directory(outside.parent_path());
	write_file(outside, "outside\n");
	if (setup == "taken")
		fs::create_directory(bulletin_path);
	if (setup == "names")
		fs::create_directory(dir / "kelvane.names");
	if (setup == "taken file")
		write_file(bulletin_path, "earlier\n\r\n");
	if (setup == "taken link")
		fs::create_symlink(outside, bulletin_path);
	if (setup == "script link")
		fs::create_symlink(outside, script_path);
	if (setup == "earlier script")
		write_file(script_path, earlier);
	if (setup == "script" || setup == "dir")
		fs::create_directory(setup == "dir" ? input : script_path);
	if (setup == "fifo" || setup == "taken fifo") {
		ASSERT_EQ(mkfifo((setup == "fifo" ? input : bulletin_path).c_str(), 0600), 0);
	}

	// faketime's library opens files of its own in the program and so
	// takes closed descriptors itself: that row runs on the real clock,
	// and its bulletin is then given the fixed name.
	const bool closed = setup == "closed";
	const bool real_clock = closed || setup == "real clock";
	if (*c.inject != '\0')
		REQUIRE_TOOL(words(c.inject)[0] == "fiu" ? "fiu-run" : words(c.inject)[0]);
	const std::vector<std::string> tool = injector(c, dir, !real_clock);
	const auto start = std::chrono::steady_clock::now();
	Outcome run = run_kelvane(dir, c.args, !real_clock, c.fsize, closed, tool);
	// Only a taken name is worth waiting for, a second at a time.
	EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
	std::string real_name = fixed_name;
	const std::string named = "TALVEX file-name = ";
	const size_t name_at = run.console.find(named);
	if (real_clock && name_at != std::string::npos) {
		const std::string name = run.console.substr(name_at + named.size(), 14);
		for (size_t at; (at = run.console.find(name)) != std::string::npos;)
			run.console.replace(at, name.size(), fixed_name);
	}
	for (const fs::directory_entry &e : fs::directory_iterator(dir)) {
		const std::string name = e.path().filename().string();
		if (real_clock && name.rfind("BRAX_", 0) == 0) {
			real_name = name;
			fs::rename(e.path(), bulletin_path);
		}
	}
	EXPECT_EQ(run.status, c.status) << run.console;
	// A failed run stops at its numbered error and the cause under it:
	// nothing follows them.
	std::string want = c.console;
	for (size_t d; (d = want.find("{dir}")) != std::string::npos;)
		want.replace(d, 5, dir.string());
	const size_t at = run.console.rfind(want);
	EXPECT_NE(at, std::string::npos) << run.console;
	if (c.status != 0) {
		EXPECT_EQ(at + want.size(), run.console.size()) << run.console;
	}
	EXPECT_EQ(read_file(outside), "outside\n");
	fs::remove_all(outside.parent_path());
	if (std::string(c.files) != "?") {
		EXPECT_EQ(listing(dir), c.files);
	}
	const bool have_bulletin = fs::is_regular_file(fs::symlink_status(bulletin_path));
	const std::string bulletin = have_bulletin ? read_file(bulletin_path) : "";
	if (*c.flag != '\0') {
		EXPECT_EQ(bulletin.substr(0, 18), c.flag);
	}

	// Nothing lost: the input changes only by the new heading over its
	// first 18 bytes; a complete run, and any new command.txt, names a
	// consistent bulletin; a failed run leaves an earlier script as it was.
	const std::string after = has_input ? read_file(input) : c.input;
	if (after != c.input) {
		EXPECT_EQ(after.substr(0, 18), bulletin.substr(18, 18));
		EXPECT_EQ(after.substr(18), c.input.substr(18));
	}
	const bool new_script = fs::is_regular_file(fs::symlink_status(script_path)) &&
	                        read_file(script_path) != earlier;
	if (run.status == 0 || closed || new_script) {
		char flag[19];
		snprintf(flag, sizeof flag, "####018%06zu####\n", bulletin.size() - 18);
		EXPECT_EQ(bulletin.substr(0, 18), flag);
		EXPECT_EQ(bulletin.substr(bulletin.size() - 7), "\r\r\n=\r\r\n");
		EXPECT_EQ(read_file(script_path), script_for(real_name));
		// Both have the permissions a new file gets under the umask.
		const mode_t mask = umask(0);
		umask(mask);
		for (const fs::path &file : {bulletin_path, script_path}) {
			EXPECT_EQ(fs::status(file).permissions(), fs::perms(0666 & ~mask)) << file;
		}
	} else if (setup == "earlier script") {
		EXPECT_EQ(read_file(script_path), earlier);
	} else if (setup != "script") {
		EXPECT_FALSE(fs::exists(script_path));
	}
}

INSTANTIATE_TEST_SUITE_P(Runs, FailureTest, testing::ValuesIn(cases), RowName());

} // namespace
