// Any bytes through the two body passes, in the order a run uses them.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "kelvane.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	// The writing pass reports stray carriage returns on the console.
	CHECK(freopen("/dev/null", "w", stdout) != nullptr);
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size > (1 << 20))
		return 0;
	std::vector<unsigned char> buffer(data, data + size);
	text_buffer = buffer.data();
	const int n = static_cast<int>(size);
	CHECK(proc_cleanup_text(n) == n);
	const long cleaned = sizeof_cleaned_text;
	CHECK(cleaned >= 0 && cleaned <= n);

	char *out = nullptr;
	size_t out_size = 0;
	talvex_out = open_memstream(&out, &out_size);
	CHECK(talvex_out != nullptr);
	const int count = proc_write_message(static_cast<int>(cleaned));
	CHECK(fclose(talvex_out) == 0);
	talvex_out = nullptr;
	text_buffer = nullptr;

	// The count is exactly what was produced.
	CHECK(count >= 0 && static_cast<size_t>(count) == out_size);
	// Only printable ASCII, no lower case, and CR CR LF line breaks.
	size_t breaks = 0;
	for (size_t i = 0; i < out_size; i++) {
		const unsigned char c = static_cast<unsigned char>(out[i]);
		if (c == '\r' || c == '\n') {
			CHECK(c == '\r' && i + 2 < out_size && out[i + 1] == '\r' &&
			      out[i + 2] == '\n');
			breaks++;
			i += 2;
			continue;
		}
		CHECK(c >= 0x20 && c <= 0x7E);
		CHECK(!(c >= 'a' && c <= 'z'));
	}
	// One line break for each line feed of the input; the written body
	// outgrows the cleaned one exactly when there is one, and the input
	// only by its line breaks: any other byte gives one byte at most.
	const size_t line_feeds = static_cast<size_t>(std::count(data, data + size, '\n'));
	CHECK(breaks == line_feeds);
	CHECK((count > cleaned) == (line_feeds > 0));
	CHECK(out_size - 3 * breaks <= size - line_feeds);
	free(out);
	return 0;
}
