// Fuzzed bytes and a fuzzed option through the whole conversion, the same
// procedures the binary runs, in a scratch folder. The first byte picks
// the option (0 to 39, so invalid ones too); the rest is the message file.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "fuzz_check.h"
#include "kelvane.h"

static std::string read_all(const char *name)
{
	std::string bytes;
	FILE *file = fopen(name, "rb");
	CHECK(file != nullptr);
	char chunk[4096];
	size_t got;
	while ((got = fread(chunk, 1, sizeof chunk, file)) > 0)
		bytes.append(chunk, got);
	CHECK(!ferror(file));
	fclose(file);
	return bytes;
}

static char scratch[] = "/tmp/kelvane-fuzz-XXXXXX";

// Each run removes its files; the folder goes when the fuzzer ends.
static void proc_remove_scratch(void)
{
	if (chdir("/") == 0)
		rmdir(scratch);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	CHECK(mkdtemp(scratch) != nullptr);
	CHECK(chdir(scratch) == 0);
	atexit(proc_remove_scratch);
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 1)
		return 0;
	char option_text[8];
	snprintf(option_text, sizeof option_text, "%d", data[0] % 40);
	FILE *message = fopen("message.txt", "wb");
	CHECK(message != nullptr);
	CHECK(fwrite(data + 1, 1, size - 1, message) == size - 1);
	CHECK(fclose(message) == 0);

	char *console = nullptr;
	size_t console_size = 0;
	FILE *real_stdout = stdout;
	stdout = open_memstream(&console, &console_size);
	CHECK(stdout != nullptr);
	char program[] = "kelvane", message_name[] = "message.txt";
	char *argv[] = {program, option_text, message_name, nullptr};
	const int status = kelvane_main(3, argv);
	CHECK(fclose(stdout) == 0);
	stdout = real_stdout;

	// What a failed run leaves to the process exit.
	if (textfile_in != nullptr)
		fclose(textfile_in);
	if (talvex_out != nullptr)
		fclose(talvex_out);
	free(text_buffer);
	textfile_in = talvex_out = nullptr;
	text_buffer = nullptr;

	if (status == 0) {
		const std::string bulletin = read_all(talvex_filename);
		char flag[19];
		snprintf(flag, sizeof flag, "####018%06zu####\n", bulletin.size() - 18);
		CHECK(bulletin.compare(0, 18, flag) == 0);
		CHECK(bulletin.size() >= 7 + 36 &&
		      bulletin.compare(bulletin.size() - 7, 7, "\r\r\n=\r\r\n") == 0);
		const std::string script = read_all("command.txt");
		CHECK(script == std::string("lcd .\ncd /data/talvex/data/\npwd\nput ") +
		                        talvex_filename + "\ndir " + talvex_filename + "\nbye\n");
	} else {
		CHECK(status == 1);
		CHECK(strstr(console, "ERROR #") != nullptr);
	}
	free(console);
	remove(talvex_filename);
	remove("kelvane.names"); // so that the next run may take the same second
	remove("command.txt");
	remove("message.txt");
	return 0;
}
