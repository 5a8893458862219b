#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "send.h"

namespace {

// A whole bulletin of n bytes of text, or a copy cut short or bent.
std::string bulletin(const std::string &text)
{
	std::string body = "NOUS71 BRAX 070815\r\r\nADAQOV\r\r\n" + text + "\r\r\n\r\r\n=\r\r\n";
	char flag[20];
	snprintf(flag, sizeof flag, "####018%06zu####\n", body.size());
	return flag + body;
}

std::string without_trailer(const std::string &text)
{
	std::string bytes = bulletin(text);
	bytes[bytes.size() - 1] = 'x';
	return bytes;
}

// outbox/ as the sending account leaves it, read back: the queue in its
// order with each entry's owner and problem, the marks not yet logged,
// the strays, and the sequence the pickup gives next.
TEST(SendQueue, OutboxReadsBackInQueueOrder)
{
	struct Row {
		const char *file;
		std::string bytes;
		const char *list; // "queue", "unlogged", "stray" or "" (left out)
		int owner;        // from the name; -1 for the file's owner
		const char *problem;
	};
	const Row rows[] = {
	        {"BRAX_07.081528", bulletin("before sequences"), "queue", -1, ""},
	        {"0000000001.BRAX_07.081529", bulletin("first, from 1.2"), "queue", -1, ""},
	        {"0000000002.1001.BRAX_07.081530", bulletin("second"), "queue", 1001, ""},
	        {"0000000004.0.BRAX_07.081532", "####018000003####\nNOU", "queue", 0,
	         "too short for a bulletin (21 bytes)"},
	        {"0000000006.7.BRAX_07.081534", bulletin("bent").substr(1) + "x", "queue", 7,
	         "flag line does not carry its size less 18"},
	        {"0000000007.7.BRAX_07.081535", without_trailer("cut"), "queue", 7,
	         "does not end with the trailer"},
	        {"0000000003.0.BRAX_07.081531.delivered", bulletin("sent"), "unlogged", 0, ""},
	        {"0000000004.0.BRAX_07.081532.failed", "a note\n", "", 0, ""},
	        {".0000000009.0.BRAX_07.081539", bulletin("copy cut short"), "", 0, ""},
	        {"notes.txt", "x", "stray", 0, ""},
	        {"0000000008.x.BRAX_07.081536", bulletin("odd owner"), "stray", 0, ""},
	};
	char folder[] = "/tmp/kelvane-queue-XXXXXX";
	ASSERT_NE(mkdtemp(folder), nullptr);
	char here[4096];
	ASSERT_NE(getcwd(here, sizeof here), nullptr);
	ASSERT_EQ(chdir(folder), 0);
	ASSERT_EQ(mkdir("outbox", 0700), 0);
	for (const Row &r : rows) {
		FILE *f = fopen((std::string("outbox/") + r.file).c_str(), "wb");
		ASSERT_NE(f, nullptr);
		ASSERT_EQ(fwrite(r.bytes.data(), 1, r.bytes.size(), f), r.bytes.size());
		ASSERT_EQ(fclose(f), 0);
	}
	std::string why;
	outbox_fd = held_fd = drop_fd = -1;
	ASSERT_EQ(proc_open_folder(&why), 0) << why;
	ASSERT_EQ(proc_open_queue(false, &why), 0) << why;
	ASSERT_EQ(proc_read_queue(&why), 0) << why;
	size_t at = 0;
	for (const Row &r : rows) {
		const std::string file = r.file;
		if (std::string(r.list) == "queue") {
			ASSERT_LT(at, queue.size()) << file;
			const Entry &e = queue[at++];
			EXPECT_EQ(e.file, file);
			EXPECT_EQ(e.owner, r.owner < 0 ? getuid() : static_cast<uid_t>(r.owner))
			        << file;
			EXPECT_NE(e.problem.find(r.problem), std::string::npos)
			        << file << ": " << e.problem;
			EXPECT_EQ(e.problem.empty(), std::string(r.problem).empty()) << file;
		} else if (std::string(r.list) == "stray") {
			EXPECT_NE(std::find(strays.begin(), strays.end(),
			                    "outbox/" + file + " is not a bulletin"),
			          strays.end())
			        << file;
		}
	}
	ASSERT_EQ(at, queue.size());
	ASSERT_EQ(unlogged.size(), 1U);
	EXPECT_EQ(unlogged[0].bulletin, "BRAX_07.081531");
	EXPECT_EQ(strays.size(), 2U);
	EXPECT_EQ(proc_next_sequence(), 8);
	EXPECT_EQ(chdir(here), 0);
	EXPECT_EQ(system((std::string("rm -rf ") + folder).c_str()), 0);
	for (int *fd : {&folder_fd, &outbox_fd, &held_fd, &drop_fd}) {
		if (*fd >= 0)
			(void)close(*fd);
		*fd = -1;
	}
}

} // namespace
