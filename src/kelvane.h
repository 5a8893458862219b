// kelvane: converts one plain-text message into one TALVEX bulletin file
// and writes the FTP script that sends it to the gateway.
//
// One run per process, one thread: the procedures share the file-scope
// state declared here instead of passing it around.
#ifndef KELVANE_H
#define KELVANE_H

#include <cstdio>

#include "system.h"

// Fixed sizes of the bulletin frame, in bytes.
constexpr int sizeof_flag_line = 18;
constexpr int sizeof_wmo_header = 18;
constexpr int sizeof_product_id = 6;
constexpr int sizeof_line_prefix = 3;
// The flag line carries the length in six decimal digits.
constexpr long max_bulletin_length = 999999;

// Conversion run (convert.cpp).
extern int option;
extern int distribution_option;
extern int helpdesk_option;
extern int meteorologist_option;
extern const char *text_filename;
extern FILE *textfile_in;
extern FILE *talvex_out;
extern unsigned char *text_buffer;
extern long sizeof_textfile_in;
extern int term;
extern int success;
extern long sizeof_talvex_out;

// Each numbered error is followed by a line that says why: it begins with
// cause, and names the C library's text for an error number, or the
// current folder, where they tell the operator what to do.
extern const char cause[];

int proc_option_number(const char *text);
int proc_command_line(int argc, char **argv);
int proc_file_type(void);
int proc_convert(void);
int kelvane_main(int argc, char **argv);

// Bulletin frame (frame.cpp).
extern int binary_day;
extern int binary_hour;
extern int binary_minute;
extern int binary_second;
extern char datetimes[10];
extern char filename_suffix[10];
extern char talvex_filename[30];
extern char bulletin_length[7];
extern char flag_line[sizeof_flag_line];
extern char wmo_header[sizeof_wmo_header];

long proc_datetimes(void);
void proc_show_datetimes(void);
void proc_set_clock(long seconds_since_epoch);
void proc_talvex_filename(void);
int proc_bulletin_length(long length);
void proc_flag_field_separator(void);
int proc_wmo_header(int header_option);
char proc_make_ascii(int value);
const char *proc_product_id(int id_option);
// The line break that ends every line after the flag line.
extern const unsigned char line_break[sizeof_line_prefix];
int proc_line_prefix(void);
// What ends every bulletin: a line break, "=", a line break.
constexpr int sizeof_trailer = 2 * sizeof_line_prefix + 1;
extern const unsigned char bulletin_trailer[sizeof_trailer];
// The smallest whole bulletin: flag line, heading, a line break, one byte
// of text and the trailer.
constexpr long long smallest_bulletin =
        sizeof_flag_line + sizeof_wmo_header + sizeof_line_prefix + 1 + sizeof_trailer;
// Whether a file of size bytes, whose first bytes are head (flag line and
// heading) and whose last are tail, has a bulletin's shape.
enum BulletinShape { shape_whole, shape_short, shape_long, shape_length, shape_trailer };
BulletinShape proc_bulletin_shape(const char head[sizeof_flag_line + sizeof_wmo_header],
                                  const unsigned char tail[sizeof_trailer], long long size);

// The record of the names this folder used (names.cpp): a name is given
// again only once it was last used this many days ago.
constexpr long name_reuse_days = 32;
int proc_names_read(void);
bool proc_name_used(const char *name, long now);
void proc_names_each(void (*each)(const char *name, long seconds, void *arg), void *arg);
int proc_name_record(const char *name, long seconds);

// Message body (body.cpp).
extern long sizeof_cleaned_text; // the body's size after cleanup
int proc_cleanup_text(int n);
int proc_write_message(int n);

// Upload script (script.cpp).
int proc_ftp_script(void);

#endif
