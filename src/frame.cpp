// Bulletin frame: clock, output file name, flag line, abbreviated heading,
// product identifier, line break.
#include <cstring>
#include <ctime>

#include "kelvane.h"

int binary_day;
int binary_hour;
int binary_minute;
int binary_second;
char datetimes[10];
static const char filename_prefix[6] = "BRAX_";
char filename_suffix[10] = "dt.hhmmss";
char talvex_filename[30];
char bulletin_length[7] = "000000";
char flag_line[sizeof_flag_line];
char wmo_header[sizeof_wmo_header];

// The 24-character date text of the clock reading and its newline.
static char gmt_text[26];

// Abbreviated headings by option number: data designator, space,
// originating centre. Row 0 is never selected by a valid option.
static const char wmo_header_table[38][12] = {
        "TEST99 WXYZ", "TXUS20 BRAX", "WWIO20 BRAX", "WWIO21 BRAX", "WWPS20 BRAX", "WWPN20 BRAX",
        "TCIO10 BRAX", "TCIO11 BRAX", "FVXX20 BRAX", "FVXX21 BRAX", "FVXX22 BRAX", "FVXX23 BRAX",
        "FVXX24 BRAX", "FVXX25 BRAX", "FVXX26 BRAX", "FVXX27 BRAX", "FVAK20 PANC", "FVAK21 PANC",
        "FVAK22 PANC", "FVAK23 PANC", "FVAK24 PANC", "FVXX01 SABM", "FVAU01 ADRM", "FVAU02 ADRM",
        "FVAU03 ADRM", "FVAU04 ADRM", "FVUK01 EGRR", "FVCN01 CWAO", "FVCN02 CWAO", "FVCN03 CWAO",
        "FVCN04 CWAO", "FVFE01 RJTD", "FVAF01 LFPW", "FVAW01 LFPW", "FVEU01 LFPW", "FVPS01 NZKL",
        "NOUS71 BRAX", "NOUS72 BRAX",
};
constexpr int sizeof_table_row = 11;
constexpr int last_table_option = 37;

// Breaks one clock reading down in UTC: the binary_ fields, the DD.HHMMSS
// text and the file name suffix all come from this single reading.
void proc_set_clock(long seconds_since_epoch)
{
	time_t clock = seconds_since_epoch;
	struct tm utc = {};
	if (gmtime_r(&clock, &utc) == nullptr) { // only past the year 2^31
		clock = 0;
		gmtime_r(&clock, &utc);
	}
	binary_day = utc.tm_mday;
	binary_hour = utc.tm_hour;
	binary_minute = utc.tm_min;
	binary_second = utc.tm_sec;
	strftime(gmt_text, sizeof gmt_text, "%a %b %e %H:%M:%S %Y\n", &utc);
	snprintf(datetimes, sizeof datetimes, "%.2d.%.2d%.2d%.2d", binary_day, binary_hour,
	         binary_minute, binary_second);
	memcpy(filename_suffix, datetimes, 9);
}

// Reads the system clock once and breaks it down; returns the reading.
long proc_datetimes(void)
{
	// The fine clock, not time(): that one may lag behind it by a tick, and
	// a run that waited for the next second must see that second.
	struct timespec now = {};
	if (clock_gettime(CLOCK_REALTIME, &now) != 0)
		now.tv_sec = time(nullptr);
	long reading = static_cast<long>(now.tv_sec);
	proc_set_clock(reading);
	return reading;
}

// Shows the reading the bulletin was named after.
void proc_show_datetimes(void)
{
	printf("GMT time is: %s\n", gmt_text);
}

void proc_talvex_filename(void)
{
	snprintf(talvex_filename, sizeof talvex_filename, "%s%s", filename_prefix, filename_suffix);
}

// Formats a bulletin length as six digits; returns 1 when it does not fit.
int proc_bulletin_length(long length)
{
	if (length < 0 || length > max_bulletin_length)
		return 1;
	snprintf(bulletin_length, sizeof bulletin_length, "%06ld", length);
	return 0;
}

void proc_flag_field_separator(void)
{
	char text[sizeof_flag_line + 1];
	snprintf(text, sizeof text, "####018%.6s####\n", bulletin_length);
	memcpy(flag_line, text, sizeof_flag_line);
}

char proc_make_ascii(int value)
{
	if (value < 0 || value > 9)
		return '?';
	return static_cast<char>('0' + value);
}

// Builds the heading for an option from the table and the clock fields.
// Returns the option, or 0 when there is no row for it.
int proc_wmo_header(int header_option)
{
	if (header_option < 1 || header_option > last_table_option)
		return 0;
	memcpy(wmo_header, wmo_header_table[header_option], sizeof_table_row);
	wmo_header[11] = ' ';
	wmo_header[12] = proc_make_ascii(binary_day / 10);
	wmo_header[13] = proc_make_ascii(binary_day % 10);
	wmo_header[14] = proc_make_ascii(binary_hour / 10);
	wmo_header[15] = proc_make_ascii(binary_hour % 10);
	wmo_header[16] = proc_make_ascii(binary_minute / 10);
	wmo_header[17] = proc_make_ascii(binary_minute % 10);
	return header_option;
}

// Product identifier for distribution messages, nullptr for the others.
const char *proc_product_id(int id_option)
{
	switch (id_option) {
	case 1:
		return "SPEQOV";
	case 36:
		return "ADAQOV";
	case 37:
		return "ADMQOV";
	default:
		return nullptr;
	}
}

// The bulletin's line break: carriage return, carriage return, line feed.
// Returns the number of bytes the stream accepted; write errors also stay
// in the stream's error state, checked once the bulletin is complete.
const unsigned char line_break[sizeof_line_prefix] = {'\r', '\r', '\n'};

int proc_line_prefix(void)
{
	return static_cast<int>(fwrite(line_break, 1, sizeof line_break, talvex_out));
}

const unsigned char bulletin_trailer[sizeof_trailer] = {'\r', '\r', '\n', '=', '\r', '\r', '\n'};

// A bulletin is whole when its flag line carries its size less the flag
// line's and it ends with the trailer: what a run that was cut short, or
// anything else put in a bulletin's place, lacks.
BulletinShape proc_bulletin_shape(const char head[sizeof_flag_line + sizeof_wmo_header],
                                  const unsigned char tail[sizeof_trailer], long long size)
{
	if (size < smallest_bulletin)
		return shape_short;
	if (size - sizeof_flag_line > max_bulletin_length)
		return shape_long;
	char flag[sizeof_flag_line + 1];
	snprintf(flag, sizeof flag, "####018%06lld####\n", size - sizeof_flag_line);
	if (memcmp(head, flag, sizeof_flag_line) != 0)
		return shape_length;
	if (memcmp(tail, bulletin_trailer, sizeof_trailer) != 0)
		return shape_trailer;
	return shape_whole;
}
