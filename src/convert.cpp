// Conversion driver: the command line, the class of the message, and the
// fixed row of steps that turns the input text into one bulletin file.
// Every step announces itself on standard output; the first failing step
// prints its numbered error and the run ends with status 1.
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kelvane.h"

int option;
int distribution_option;
int helpdesk_option;
int meteorologist_option;
const char *text_filename;
FILE *textfile_in;
FILE *talvex_out;
unsigned char *text_buffer;
long sizeof_textfile_in;
int term;
int success;
long sizeof_talvex_out;

constexpr int first_option = 1;
constexpr int last_option = 37;
// How long a run waits for a bulletin name that is not yet taken.
constexpr long max_name_wait = 60;

// The line under a numbered error that says why, and what to do, begins
// like the second line of ERROR #01.
const char cause[] = "          - ";

// Reads an option number the way atoi does (leading blanks, a sign, digits
// up to the first non-digit, no digits giving 0) but without overflow:
// returns the option, or 0 for any value outside 1..37.
int proc_option_number(const char *text)
{
	const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
	while (isspace(*p))
		p++;
	bool negative = *p == '-';
	if (*p == '-' || *p == '+')
		p++;
	int value = 0;
	for (; isdigit(*p); p++) {
		value = value * 10 + (*p - '0');
		if (value > last_option)
			return 0;
	}
	if (negative || value < first_option)
		return 0;
	return value;
}

int proc_command_line(int argc, char **argv)
{
	if (argc != 3) {
		printf("\nkelvane: command line input as follows:\n");
		printf("\nkelvane  option  TEXT-filename\n");
		printf("\n--> where 'option' is a number from 1 to 37 inclusive\n");
		printf("\n");
		return 1;
	}
	option = proc_option_number(argv[1]);
	if (option == 0) {
		printf("ERROR #01 - Invalid option entered for TEXT message type.\n"
		       "          - Option number entered was %s\n",
		       argv[1]);
		printf("%sOptions are 1 to 35 for a meteorologist's message and 36 or 37 "
		       "for a help desk's: see kelvane(1)\n",
		       cause);
		return 1;
	}
	printf("Valid option selected == %d.\n", option);
	distribution_option = proc_product_id(option) != nullptr ? option : 0;
	if (distribution_option != 0)
		printf("Text message is intended for ZELVA distribution.\n");
	helpdesk_option = option == 36 || option == 37 ? option : 0;
	meteorologist_option = helpdesk_option == 0 ? option : 0;
	if (helpdesk_option != 0)
		printf("Text message is from QIS Help Desk operator.\n");
	else
		printf("Text message is from TAV Meteorologist.\n");
	text_filename = argv[2];
	return 0;
}

// A heading has the form of "WWIO20 BRAX 070815": four letters, two
// digits, a space, four letters, a space, six digits.
static bool proc_is_heading(const unsigned char *h)
{
	static const char form[] = "AAAA99 AAAA 999999";
	for (int i = 0; i < sizeof_wmo_header; i++) {
		unsigned char c = h[i];
		bool fits = c == ' ';
		if (form[i] == 'A')
			fits = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
		else if (form[i] == '9')
			fits = c >= '0' && c <= '9';
		if (!fits)
			return false;
	}
	return true;
}

// A meteorologist's file must begin with its 18-character heading line,
// ended by LF or CR LF: that line is skipped and later overwritten, so a
// file without it, or with a line that is not a heading (a help-desk note
// under a mistyped option), would lose the start of its text twice.
static int proc_check_heading_line(void)
{
	unsigned char head[sizeof_wmo_header + 2];
	rewind(textfile_in);
	errno = 0;
	size_t got = fread(head, 1, sizeof head, textfile_in);
	if (ferror(textfile_in)) {
		int e = errno;
		printf("ERROR #08 - Unable to read text message contents.\n");
		printf("%s%s (reading %s)\n", cause, proc_reason(e), text_filename);
		return 1;
	}
	bool line = got > sizeof_wmo_header && proc_is_heading(head) &&
	            (head[sizeof_wmo_header] == '\n' ||
	             (got == sizeof head && head[sizeof_wmo_header] == '\r' &&
	              head[sizeof_wmo_header + 1] == '\n'));
	if (!line) {
		printf("ERROR #16 - TEXT message file does not begin with an 18-character heading "
		       "line - %s\n",
		       text_filename);
		printf("%sOptions 1 to 35 need a first line such as \"WWIO20 BRAX 070815\" "
		       "(four letters, two digits, a space, four letters, a space, six digits); "
		       "a help-desk note takes option 36 or 37\n",
		       cause);
		return 1;
	}
	return 0;
}

// What a file that is not a regular file is, for ERROR #13's cause.
static const char *proc_file_kind(mode_t mode)
{
	if (S_ISFIFO(mode))
		return "a FIFO";
	if (S_ISCHR(mode))
		return "a character device";
	if (S_ISBLK(mode))
		return "a block device";
	if (S_ISSOCK(mode))
		return "a socket";
	return "not a regular file";
}

// Opens the input for update and measures it. Only a regular file has a
// size that seeking can tell; anything else would hang or read as empty.
static int proc_open_input(void)
{
	textfile_in = fopen(text_filename, "r+b");
	if (textfile_in == nullptr) {
		int e = errno;
		printf("ERROR #02 - Unable to open input TEXT message file - %s\n", text_filename);
		printf("%s%s: %s must be a text file you may read and write\n\n", cause,
		       proc_reason(e), text_filename);
		return 1;
	}
	printf("Text message file opened successfully - %s -.\n", text_filename);
	struct stat input_stat = {};
	errno = 0;
	bool regular = fstat(fileno(textfile_in), &input_stat) == 0 && S_ISREG(input_stat.st_mode);
	if (!regular || fseek(textfile_in, 0, SEEK_END) != 0 ||
	    (sizeof_textfile_in = ftell(textfile_in)) < 0) {
		int e = errno;
		printf("ERROR #13 - Unable to determine size of input TEXT message file - %s\n",
		       text_filename);
		if (e == 0 && !regular)
			printf("%s%s is %s: give a text file\n", cause, text_filename,
			       proc_file_kind(input_stat.st_mode));
		else
			printf("%s%s (measuring %s)\n", cause, proc_reason(e), text_filename);
		return 1;
	}
	printf("size of input textfile = %ld bytes.\n", sizeof_textfile_in);
	return meteorologist_option != 0 ? proc_check_heading_line() : 0;
}

// The cause line of a write to the bulletin that failed with error e.
static void proc_cause_writing(int e)
{
	printf("%s%s (writing %s)\n", cause, proc_reason(e), talvex_filename);
}

static int proc_too_long(long length)
{
	printf("ERROR #14 - TALVEX bulletin too long for flag-line-separator - %ld bytes.\n",
	       length);
	printf("%sThe flag line carries at most %ld bytes after it, so a message may have at most "
	       "%ld bytes: split it into several\n",
	       cause, max_bulletin_length, max_bulletin_length - sizeof_wmo_header);
	return 1;
}

// Sleeps past the start of the next second of the system clock.
static void proc_wait_next_second(void)
{
	struct timespec now = {};
	(void)clock_gettime(CLOCK_REALTIME, &now);
	struct timespec rest = {0, 1000000000L - now.tv_nsec + 1000000L};
	if (rest.tv_nsec >= 1000000000L) {
		rest.tv_sec = 1;
		rest.tv_nsec -= 1000000000L;
	}
	while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
	}
}

// Names the bulletin after one clock reading and creates it. A bulletin
// is never replaced: the gateway takes each name once, and a file of that
// name may be another run's bulletin, a link or a FIFO. Creating the file
// exclusively refuses all of these, and a name the folder's record says was
// used in the last 32 days counts as taken too; the run then waits for the
// next second and names the bulletin after that new reading. It gives up
// when the clock does not move on, or after max_name_wait seconds, and
// leaves the error number of its last try in output_errno; output_record
// says whether that was the record's.
static int output_errno;
static bool output_record;

// Creates the bulletin of reading's name and records the name: the stream,
// or nullptr with output_errno.
static FILE *proc_take_name(long reading)
{
	output_record = false;
	if (proc_name_used(talvex_filename, reading)) {
		output_errno = EEXIST;
		return nullptr;
	}
	int fd = open(talvex_filename, O_WRONLY | O_CREAT | O_EXCL, 0666);
	if (fd < 0) {
		output_errno = errno;
		return nullptr;
	}
	FILE *out = fdopen(fd, "wb");
	output_record = out != nullptr;
	if (out != nullptr && proc_name_record(talvex_filename, reading) == 0)
		return out;
	output_errno = errno;
	if (out != nullptr)
		(void)fclose(out);
	else
		(void)close(fd);
	(void)unlink(talvex_filename);
	return nullptr;
}

static int proc_create_output(void)
{
	long first = proc_datetimes();
	long reading = first;
	if (proc_names_read() != 0) {
		output_errno = errno;
		output_record = true;
		proc_talvex_filename();
		return 1;
	}
	for (;;) {
		proc_talvex_filename();
		talvex_out = proc_take_name(reading);
		if (talvex_out != nullptr)
			return 0;
		if (output_errno != EEXIST || output_record || reading - first >= max_name_wait)
			return 1;
		proc_wait_next_second();
		long next = proc_datetimes();
		if (next == reading)
			return 1;
		reading = next;
	}
}

// Creates the bulletin under a name not yet taken and writes the flag line
// with the preliminary length (heading plus the whole input).
static int proc_open_output(void)
{
	long preliminary = sizeof_wmo_header + sizeof_textfile_in;
	if (proc_bulletin_length(preliminary) != 0)
		return proc_too_long(preliminary);
	printf("preliminary bulletin_length = %s bytes.\n", bulletin_length);
	int created = proc_create_output();
	proc_show_datetimes();
	proc_flag_field_separator();
	printf("TALVEX file-name = %s\n", talvex_filename);
	if (created != 0) {
		printf("ERROR #03 - Unable to open TALVEX output file - %s \n", talvex_filename);
		printf(output_record ? "%s%s: cannot record %s in %s/kelvane.names\n"
		                     : "%s%s: cannot create %s in %s\n",
		       cause, proc_reason(output_errno), talvex_filename, proc_folder());
		return 1;
	}
	printf("TALVEX output file created - %s \n", talvex_filename);
	printf("Writing TALVEX flag-line-separator to output disk file.\n");
	errno = 0;
	success = static_cast<int>(fwrite(flag_line, sizeof_flag_line, 1, talvex_out));
	if (success != 1) {
		int e = errno;
		printf("ERROR #04 - Unable to write flag-line-separator to output file.\n");
		proc_cause_writing(e);
		return 1;
	}
	printf("TALVEX flag-line-separator written successfully.\n");
	return 0;
}

static int proc_write_heading(void)
{
	success = proc_wmo_header(option);
	if (success == 0) {
		printf("ERROR #05 - TALVEX-header build was not completed.\n");
		printf("%sThe heading table has no row for option %d\n", cause, option);
		return 1;
	}
	printf("TALVEX-header build completed successfully.\n");
	printf("Writing WMO-header to TALVEX output disk file.\n");
	errno = 0;
	success = static_cast<int>(fwrite(wmo_header, sizeof_wmo_header, 1, talvex_out));
	if (success != 1) {
		int e = errno;
		printf("ERROR #06 - Unable to write WMO-header to output file.\n");
		proc_cause_writing(e);
		return 1;
	}
	printf("WMO-header written successfully.\n");
	return 0;
}

// Terminator probe: answers 2 when the heading line or the byte behind it
// holds a carriage return (the line ends with CR LF), 1 otherwise.
int proc_file_type(void)
{
	for (int i = 0; i <= sizeof_wmo_header; i++) {
		int c = fgetc(textfile_in);
		if (c == EOF)
			break;
		if (c == '\r')
			return 2;
	}
	return 1;
}

// ERROR #08 with the reason the body could not be read.
static int proc_unread(const char *reason)
{
	printf("ERROR #08 - Unable to read text message contents.\n");
	printf("%s%s\n", cause, reason);
	return 1;
}

// Reads the body into one buffer; a meteorologist's own heading line is
// skipped. An empty body is an error, as there is nothing to send.
static int proc_read_message(void)
{
	errno = 0;
	text_buffer = static_cast<unsigned char *>(
	        malloc(sizeof_textfile_in > 0 ? sizeof_textfile_in : 1));
	if (text_buffer == nullptr) {
		int e = errno;
		printf("ERROR #07 - Malloc failure on pointer 'text_buffer'.\n");
		printf("%s%s (%ld bytes for the text)\n", cause, proc_reason(e),
		       sizeof_textfile_in);
		return 1;
	}
	rewind(textfile_in);
	if (meteorologist_option != 0) {
		term = proc_file_type();
		sizeof_textfile_in -= sizeof_wmo_header + term;
		if (fseek(textfile_in, sizeof_wmo_header + term, SEEK_SET) != 0)
			return proc_unread(proc_reason(errno));
	}
	if (sizeof_textfile_in <= 0)
		return proc_unread(meteorologist_option != 0
		                           ? "The file holds nothing after its heading line: write "
		                             "the message below it"
		                           : "The file is empty: write the message into it");
	errno = 0;
	if (fread(text_buffer, 1, sizeof_textfile_in, textfile_in) !=
	    static_cast<size_t>(sizeof_textfile_in))
		return proc_unread(ferror(textfile_in) ? proc_reason(errno)
		                                       : "The file got shorter while it was read");
	printf("Text message (%ld bytes) read successfully.\n", sizeof_textfile_in);
	return 0;
}

// Cleans the body, stamps the new heading over the meteorologist's input,
// and writes the identifier lines and the body to the bulletin.
static int proc_write_body(void)
{
	int n = static_cast<int>(sizeof_textfile_in);
	long cleaned = proc_cleanup_text(n);
	if (cleaned != n) {
		printf("ERROR #09 - Did not convert text buffer properly.\n");
		printf("%sThe cleanup examined %ld of the %d bytes\n", cause, cleaned, n);
		return 1;
	}
	printf("%ld bytes of text buffer cleaned up successfully.\n", cleaned);
	if (meteorologist_option != 0) {
		rewind(textfile_in);
		(void)fwrite(wmo_header, sizeof_wmo_header, 1, textfile_in);
	}
	(void)fclose(textfile_in);
	textfile_in = nullptr;
	printf("Writing text message contents to TALVEX output file.\n");
	errno = 0;
	proc_line_prefix();
	if (distribution_option != 0) {
		fwrite(proc_product_id(distribution_option), 1, sizeof_product_id, talvex_out);
		proc_line_prefix();
	}
	// The cleaned body may be shorter than the text read: a character of
	// several bytes becomes one byte or none.
	long written = proc_write_message(static_cast<int>(sizeof_cleaned_text));
	free(text_buffer);
	text_buffer = nullptr;
	if (written <= sizeof_cleaned_text) {
		int e = ferror(talvex_out) ? errno : 0;
		printf("ERROR #10 - Did not write TALVEX output file properly.\n");
		if (e != 0)
			proc_cause_writing(e);
		else
			printf("%sThe text has no line feed: end its last line with one\n", cause);
		return 1;
	}
	printf("%ld bytes of TALVEX output file written successfully.\n", written);
	return 0;
}

static int proc_incomplete(int e)
{
	printf("ERROR #15 - Unable to complete TALVEX output file - %s \n", talvex_filename);
	proc_cause_writing(e);
	return 1;
}

// Writes the trailer, makes sure every byte reached the file, puts the
// corrected length into the flag line, and syncs the bulletin to disk.
static int proc_finish_bulletin(void)
{
	proc_line_prefix();
	fputc('=', talvex_out);
	proc_line_prefix();
	if (ferror(talvex_out) || fseek(talvex_out, 0, SEEK_END) != 0 ||
	    (sizeof_talvex_out = ftell(talvex_out)) < 0)
		return proc_incomplete(errno);
	long corrected = sizeof_talvex_out - sizeof_flag_line;
	if (proc_bulletin_length(corrected) != 0)
		return proc_too_long(corrected);
	printf("corrected bulletin_length = %s bytes.\n", bulletin_length);
	proc_flag_field_separator();
	printf("Re-writing Flag-line-separator to disk file.\n");
	errno = 0;
	if (fseek(talvex_out, 0, SEEK_SET) != 0 ||
	    fwrite(flag_line, sizeof_flag_line, 1, talvex_out) != 1) {
		int e = errno;
		printf("ERROR #11 - Unable to write flag-line-separator to output file.\n");
		proc_cause_writing(e);
		return 1;
	}
	printf("New flag-line-separator written successfully.\n");
	// The bulletin is on disk before the run says it is converted: a power
	// cut after that line must not leave command.txt naming an empty file.
	int flushed = fflush(talvex_out);
	int synced = flushed == 0 ? fsync(fileno(talvex_out)) : -1;
	int e = errno;
	int closed = fclose(talvex_out);
	talvex_out = nullptr;
	if (synced != 0 || closed != 0)
		return proc_incomplete(synced != 0 ? e : errno);
	printf("Text message converted into TALVEX format.\n");
	return 0;
}

int proc_convert(void)
{
	if (proc_open_input() != 0 || proc_open_output() != 0 || proc_write_heading() != 0 ||
	    proc_read_message() != 0 || proc_write_body() != 0)
		return 1;
	return proc_finish_bulletin();
}

int kelvane_main(int argc, char **argv)
{
	if (proc_standard_descriptors() != 0) {
		fputs("kelvane: unable to open /dev/null on a closed standard descriptor\n",
		      stderr);
		return 1;
	}
	if (proc_command_line(argc, argv) != 0 || proc_convert() != 0)
		return 1;
	return proc_ftp_script();
}
