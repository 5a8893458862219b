#include <string>

#include <gtest/gtest.h>

#include "kelvane.h"

namespace {

// curl's exit status and last reply decide between delivered (0), try
// later (75) and a refusal that needs a person (1).
TEST(Send, CurlStatusAndReplyGiveTheOutcome)
{
	struct Row {
		int status;
		const char *reply;
		int outcome;
		const char *why; // what the last line must hold
	};
	const Row rows[] = {
	        {0, "250", 0, ""},
	        {7, "000", 75, "cannot reach "},
	        {6, "000", 75, "cannot reach "},
	        {28, "150", 75, "broke off (curl exit 28)"},
	        {18, "150", 75, "broke off"},
	        {55, "150", 75, "broke off"},
	        {56, "226", 75, "broke off"},
	        {25, "452", 75, "refused for now (reply 452)"},
	        {8, "421", 75, "refused for now (reply 421)"},
	        {67, "530", 1, "login to "},
	        {9, "550", 1, "remote folder /data/talvex/data/ refused"},
	        {25, "553", 1, "upload of .BRAX_07.081530 refused (reply 553)"},
	        {21, "550", 1, "rename of .BRAX_07.081530 to BRAX_07.081530 refused"},
	        {26, "000", 1, "curl failed (exit 26, reply 000)"},
	};
	for (const Row &r : rows) {
		std::string why;
		EXPECT_EQ(proc_ftp_outcome(r.status, r.reply, "BRAX_07.081530", &why), r.outcome)
		        << r.status << " " << r.reply;
		EXPECT_NE(why.find(r.why), std::string::npos) << why;
	}
}

} // namespace
