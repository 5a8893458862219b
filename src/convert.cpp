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

// Builds the listing command with the name quoted for the POSIX shell, so
// that any name stays one plain word: inside single quotes nothing is
// special, and each single quote of the name is written as '\''.
static char *proc_listing_command(const char *name)
{
	char *command = static_cast<char *>(malloc(strlen(name) * 4 + sizeof "@dir '' /t:w\n"));
	if (command == nullptr)
		return nullptr;
	char *p = stpcpy(command, "@dir '");
	for (; *name != '\0'; name++) {
		if (*name == '\'')
			p = stpcpy(p, "'\\''");
		else
			*p++ = *name;
	}
	memcpy(p, "' /t:w\n", sizeof "' /t:w\n");
	return command;
}

// Diagnostic commands after the input could not be opened; their results
// are only for the operator's eyes and are ignored.
static void proc_diagnostics(void)
{
	char *listing = proc_listing_command(text_filename);
	const char *commands[] = {"@date /t\n", "@time /t\n", listing};
	for (const char *command : commands) {
		fflush(stdout);
		if (command == nullptr)
			continue;
		// NOLINTNEXTLINE(cert-env33-c): fixed commands, the name quoted
		int ignored = system(command);
		(void)ignored;
	}
	fflush(stdout);
	free(listing);
}

// A meteorologist's file must begin with its 18-character heading line,
// ended by LF or CR LF: that line is skipped and later overwritten, so a
// file without it would lose the start of its text twice.
static int proc_check_heading_line(void)
{
	unsigned char head[sizeof_wmo_header + 2];
	rewind(textfile_in);
	size_t got = fread(head, 1, sizeof head, textfile_in);
	if (ferror(textfile_in)) {
		printf("ERROR #08 - Unable to read text message contents.\n");
		return 1;
	}
	bool line = got > sizeof_wmo_header && memchr(head, '\r', sizeof_wmo_header) == nullptr &&
	            memchr(head, '\n', sizeof_wmo_header) == nullptr &&
	            (head[sizeof_wmo_header] == '\n' ||
	             (got == sizeof head && head[sizeof_wmo_header] == '\r' &&
	              head[sizeof_wmo_header + 1] == '\n'));
	if (!line) {
		printf("ERROR #16 - TEXT message file does not begin with an 18-character heading "
		       "line - %s\n",
		       text_filename);
		return 1;
	}
	return 0;
}

// Opens the input for update and measures it. Only a regular file has a
// size that seeking can tell; anything else would hang or read as empty.
static int proc_open_input(void)
{
	textfile_in = fopen(text_filename, "r+b");
	if (textfile_in == nullptr) {
		printf("ERROR #02 - Unable to open input TEXT message file - %s\n\n",
		       text_filename);
		proc_diagnostics();
		return 1;
	}
	printf("Text message file opened successfully - %s -.\n", text_filename);
	struct stat input_stat = {};
	if (fstat(fileno(textfile_in), &input_stat) != 0 || !S_ISREG(input_stat.st_mode) ||
	    fseek(textfile_in, 0, SEEK_END) != 0 || (sizeof_textfile_in = ftell(textfile_in)) < 0) {
		printf("ERROR #13 - Unable to determine size of input TEXT message file - %s\n",
		       text_filename);
		return 1;
	}
	printf("size of input textfile = %ld bytes.\n", sizeof_textfile_in);
	return meteorologist_option != 0 ? proc_check_heading_line() : 0;
}

static int proc_too_long(long length)
{
	printf("ERROR #14 - TALVEX bulletin too long for flag-line-separator - %ld bytes.\n",
	       length);
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
// exclusively refuses all of these; the run then waits for the next
// second and names the bulletin after that new reading. It gives up when
// the clock does not move on, or after max_name_wait seconds.
static int proc_create_output(void)
{
	long first = proc_datetimes();
	long reading = first;
	for (;;) {
		proc_talvex_filename();
		int fd = open(talvex_filename, O_WRONLY | O_CREAT | O_EXCL, 0666);
		if (fd >= 0) {
			talvex_out = fdopen(fd, "wb");
			if (talvex_out != nullptr)
				return 0;
			(void)close(fd);
			(void)unlink(talvex_filename);
			return 1;
		}
		if (errno != EEXIST || reading - first >= max_name_wait)
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
		return 1;
	}
	printf("TALVEX output file created - %s \n", talvex_filename);
	printf("Writing TALVEX flag-line-separator to output disk file.\n");
	success = static_cast<int>(fwrite(flag_line, sizeof_flag_line, 1, talvex_out));
	if (success != 1) {
		printf("ERROR #04 - Unable to write flag-line-separator to output file.\n");
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
		return 1;
	}
	printf("TALVEX-header build completed successfully.\n");
	printf("Writing WMO-header to TALVEX output disk file.\n");
	success = static_cast<int>(fwrite(wmo_header, sizeof_wmo_header, 1, talvex_out));
	if (success != 1) {
		printf("ERROR #06 - Unable to write WMO-header to output file.\n");
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

// Reads the body into one buffer; a meteorologist's own heading line is
// skipped. An empty body is an error, as there is nothing to send.
static int proc_read_message(void)
{
	text_buffer = static_cast<unsigned char *>(
	        malloc(sizeof_textfile_in > 0 ? sizeof_textfile_in : 1));
	if (text_buffer == nullptr) {
		printf("ERROR #07 - Malloc failure on pointer 'text_buffer'.\n");
		return 1;
	}
	rewind(textfile_in);
	if (meteorologist_option != 0) {
		term = proc_file_type();
		sizeof_textfile_in -= sizeof_wmo_header + term;
		if (fseek(textfile_in, sizeof_wmo_header + term, SEEK_SET) != 0)
			sizeof_textfile_in = 0;
	}
	if (sizeof_textfile_in <= 0 || fread(text_buffer, 1, sizeof_textfile_in, textfile_in) !=
	                                       static_cast<size_t>(sizeof_textfile_in)) {
		printf("ERROR #08 - Unable to read text message contents.\n");
		return 1;
	}
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
		printf("ERROR #10 - Did not write TALVEX output file properly.\n");
		return 1;
	}
	printf("%ld bytes of TALVEX output file written successfully.\n", written);
	return 0;
}

static int proc_incomplete(void)
{
	printf("ERROR #15 - Unable to complete TALVEX output file - %s \n", talvex_filename);
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
		return proc_incomplete();
	long corrected = sizeof_talvex_out - sizeof_flag_line;
	if (proc_bulletin_length(corrected) != 0)
		return proc_too_long(corrected);
	printf("corrected bulletin_length = %s bytes.\n", bulletin_length);
	proc_flag_field_separator();
	printf("Re-writing Flag-line-separator to disk file.\n");
	if (fseek(talvex_out, 0, SEEK_SET) != 0 ||
	    fwrite(flag_line, sizeof_flag_line, 1, talvex_out) != 1) {
		printf("ERROR #11 - Unable to write flag-line-separator to output file.\n");
		return 1;
	}
	printf("New flag-line-separator written successfully.\n");
	// The bulletin is on disk before the run says it is converted: a power
	// cut after that line must not leave command.txt naming an empty file.
	int flushed = fflush(talvex_out);
	int synced = flushed == 0 ? fsync(fileno(talvex_out)) : -1;
	int closed = fclose(talvex_out);
	talvex_out = nullptr;
	if (synced != 0 || closed != 0)
		return proc_incomplete();
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

// Opens /dev/null on any of descriptors 0, 1 and 2 that is closed, so that
// no file the run creates can take its place and receive the console log.
// Standard input is opened write-only and the outputs read-only, so that
// using them fails and a console log that cannot be written is noticed.
int proc_standard_descriptors(void)
{
	for (int fd = 0; fd <= 2; fd++) {
		if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
			continue;
		int opened = open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
		if (opened != fd) {
			if (opened >= 0)
				(void)close(opened);
			return 1;
		}
	}
	return 0;
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
