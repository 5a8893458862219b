#include <string>

#include <gtest/gtest.h>

#include "send.h"

namespace {

// curl's exit status and last reply code decide between delivered (0),
// try later (75), a refusal of this bulletin (2: it is held) and a
// refusal that needs a person (1); the gateway's reply line is shown.
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
	        {26, "000", "", 1, "curl failed (exit 26, reply 000)"},
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

} // namespace
