#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "send.h"

namespace {

// curl's exit status and last reply code decide between delivered (0),
// try later (75), a refusal of this bulletin (2: a probe decides whether
// it is held) and a refusal that needs a person (1); the gateway's reply
// line is shown.
TEST(Send, CurlStatusAndReplyGiveTheOutcome)
{
	struct Row {
		int status;
		const char *code;
		const char *reply; // the gateway's line, where curl showed it
		int outcome;
		const char *why; // what the last line must hold
	};
	const Row rows[] = {
	        {0, "250", "", 0, ""},
	        {7, "000", "", 75, "cannot reach "},
	        {6, "000", "", 75, "host gateway.example not found (curl exit 6)"},
	        {28, "150", "", 75, "broke off (curl exit 28)"},
	        {18, "150", "", 75, "broke off"},
	        {70, "552", "552 Quota exceeded.", 2,
	         "refused at its end (reply 552 Quota exceeded.)"},
	        {18, "553", "553 Over the size limit.", 2,
	         "upload of .BRAX_07.081530 refused at its end (reply 553 Over the size limit.)"},
	        {25, "552", "552 Disk full - please upload later", 2, "(reply 552 Disk full"},
	        {55, "150", "", 75, "broke off"},
	        {56, "226", "", 75, "broke off"},
	        {25, "452", "452 Disk full.", 75, "refused for now (reply 452 Disk full.)"},
	        {8, "421", "", 75, "refused for now (reply 421)"},
	        {67, "530", "530 Sorry, the maximum number of clients", 1,
	         "login to gateway.example refused (reply 530 Sorry, the maximum"},
	        {9, "550", "", 1, "remote folder /data/talvex/data/ refused"},
	        {25, "553", "553 Over the size limit.", 2,
	         "upload of .BRAX_07.081530 refused (reply 553 Over the size limit.)"},
	        {21, "550", "", 2, "rename of .BRAX_07.081530 to BRAX_07.081530 refused"},
	        {21, "000", "", 1, "rename of .BRAX_07.081530"},
	        {26, "000", "", 1, "curl cannot read the queued BRAX_07.081530 (curl exit 26)"},
	        {3, "000", "", 1, "curl failed (exit 3, reply 000)"},
	};
	ftp_host = "gateway.example";
	gateway = ftp_host;
	for (const Row &r : rows) {
		std::string why;
		EXPECT_EQ(proc_ftp_outcome(r.status, r.code, r.reply, "BRAX_07.081530", &why),
		          r.outcome)
		        << r.status << " " << r.code;
		EXPECT_NE(why.find(r.why), std::string::npos) << why;
	}
}

// Seat K of N names bulletins only in the seconds S with S mod N = K - 1,
// the first such second from the clock reading on that the folder has
// not used.
TEST(Send, SeatWaitsForASecondOfItsOwnClass)
{
	struct Row {
		int seat, seats;
		long from, want;
	};
	const long minute = 1796631300; // 2026-12-07 08:15:00 UTC
	const Row rows[] = {
	        {1, 1, minute + 7, minute + 7},   {1, 3, minute + 7, minute + 9},
	        {2, 3, minute + 7, minute + 7},   {3, 3, minute + 7, minute + 8},
	        {1, 60, minute + 1, minute + 60}, {60, 60, minute + 59, minute + 59},
	        {7, 7, minute + 56, minute + 66}, // past 59, the next minute's 6
	};
	for (const Row &r : rows) {
		seat = r.seat;
		seats = r.seats;
		EXPECT_EQ(proc_seat_second(r.from), r.want) << r.seat << "/" << r.seats;
	}
	seat = seats = 1;
}

// Names and notes are printed as one line of printable bytes.
TEST(Send, EscapeKeepsEveryLineOne)
{
	const char *const rows[][2] = {
	        {"BRAX_07.081530", "BRAX_07.081530"},
	        {"a\nb", "a\\x0ab"},
	        {"odd\x1bname", "odd\\x1bname"},
	        {"x\nBRAX_07.081530 83 bytes", "x\\x0aBRAX_07.081530 83 bytes"},
	        {"\xc3\xa9", "\\xc3\\xa9"},
	};
	for (const auto &r : rows)
		EXPECT_EQ(proc_escape(r[0]), r[1]);
}

// A line as said keeps what was escaped in it, and escapes the rest.
TEST(Send, PrintableEscapesWhatATerminalWouldObey)
{
	const char *const rows[][2] = {
	        {"553 bad \x1b[31mRED", "553 bad \\x1b[31mRED"},
	        {"553 bad \\x1b kept", "553 bad \\x1b kept"},
	        {"name\rkelvane-send: delivered", "name\\x0dkelvane-send: delivered"},
	        {"a | b; c", "a | b; c"},
	};
	for (const auto &r : rows)
		EXPECT_EQ(proc_printable(r[0]), r[1]);
}

// The queue time is the name's day and time, in the latest month that
// puts it not after the entry's last change (a minute of leeway); a name
// that is no date gives the change's time.
TEST(Send, QueueTimeComesFromTheNameNotFileTimes)
{
	struct Row {
		const char *bulletin;
		time_t changed, want;
	};
	const time_t dec7 = 1796631330; // 2026-12-07 08:15:30 UTC
	const Row rows[] = {
	        {"BRAX_07.081530", dec7, dec7},
	        {"BRAX_07.081530", dec7 + 3600, dec7},            // changed later: touched
	        {"BRAX_07.081600", dec7, dec7 + 30},              // within the leeway
	        {"BRAX_07.081700", dec7, dec7 + 90 - 30 * 86400}, // past it: November
	        {"BRAX_31.120000", dec7, 1793448000},             // no 31st in November: October
	        {"BRAX_00.000000", dec7, dec7},                   // no day 0
	        {"BRAX_07.25", dec7, dec7},                       // no bulletin
	};
	for (const Row &r : rows)
		EXPECT_EQ(proc_queued_at(r.bulletin, r.changed), r.want) << r.bulletin;
}

// Only dot names kelvane-send gives are read back from what the send's
// lock held: nothing else reaches a DELE.
TEST(Send, LitterReadBackIsOnlyOurDotNames)
{
	const std::string text = "123\n"
	                         ".BRAX_07.081530.123\n"
	                         ".kelvane-send-probe.BRAX_07.081530.123\n"
	                         ".kelvane-send-probe.BRAX_07.081530.123.renamed\n"
	                         ".BRAX_07.081530.123.renamed\n"
	                         "BRAX_07.081530\n"
	                         ".BRAX_07.081530.12x\n"
	                         ".BRAX_07.081530.123 DELE /etc\n"
	                         "../BRAX_07.081530.1\n"
	                         ".BRAX_07.081531.124"; // cut short
	litter.clear();
	send_lock = -1;
	proc_read_litter(text);
	const std::vector<std::string> want = {".BRAX_07.081530.123",
	                                       ".kelvane-send-probe.BRAX_07.081530.123",
	                                       ".kelvane-send-probe.BRAX_07.081530.123.renamed"};
	EXPECT_EQ(litter, want);
	litter.clear();
}

} // namespace
