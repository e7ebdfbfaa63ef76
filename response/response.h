// Free-vibration response: the time history stage and the response-file line writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Damped free vibration of both masses by modal superposition, one line per time step
// to the displacement, velocity and acceleration files (pFile[1..3]).
void time_history();
// The report's closing section (pelmar.out only): units, damping, initial state, time grid,
// the largest response of each mass with its time, and the effective masses as percentages.
void run_summary();

// One response-file line: time, mass 1, mass 2. The line is defined by the printf format
// below; format_response_line writes exactly the bytes snprintf would, for every double.
inline constexpr const char *response_line_format = " %12.5e  \t %10.4e \t  %10.4e \n";

// Longest line the format can produce (a 3-digit exponent, a sign, padding): ample room.
inline constexpr std::size_t response_line_max = 64;

// Writes the line for (t, x1, x2) at out, which must have response_line_max bytes free.
// Returns the end of the line (no NUL is written).
char *format_response_line(char *out, double t, double x1, double x2);
// The same line in two pieces: the time field with its separators (" %12.5e  \t "), and the
// two values with the line end ("%10.4e \t  %10.4e \n"). A step formats its time once.
char *format_response_time(char *out, double t);
// The time field with `decimals` digits after the point (" %12.*e  \t "), for a record whose
// steps five decimals cannot tell apart; 5 gives the line above.
char *format_response_time(char *out, double t, int decimals);
// The fewest decimals, 5 or more, with which every time s dt, s = 0 .. steps-1, prints
// differently from the next: 5 unless six significant digits would repeat a time.
int response_time_decimals(double dt, std::int32_t steps);
// The line format with the time's decimals as an argument (" %12.*e ..."), for fprintf.
inline constexpr const char *response_line_format_wide = " %12.*e  \t %10.4e \t  %10.4e \n";
char *format_response_values(char *out, double x1, double x2);

// Buffered writer for one response file: lines are gathered in a large buffer and handed to
// the stream in big blocks. The first failing write is remembered with its errno.
// The buffer is fixed in size, so memory does not grow with the number of steps.
struct ResponseWriter {
    static constexpr std::size_t capacity = 1 << 17;
    std::FILE *stream = nullptr;
    std::size_t used = 0;
    int error = 0;  // errno of the first failed write, 0 while all is well
    int time_decimals = 5;       // digits after the point in the time field
    std::uint64_t written = 0;   // bytes handed to the stream so far
    char buf[capacity];
};
// Starts a file with a time field of `time_decimals` decimals (see response_time_decimals).
void writer_open(ResponseWriter &w, std::FILE *stream, int time_decimals = 5);
// One step: the line for time t to each of the three writers, values[f] going to writer f,
// the time with the decimals of the first writer.
void writer_step(ResponseWriter (&w)[3], double t, const double (&values)[3][2]);
void writer_flush(ResponseWriter &w);  // hands what is gathered to the stream
