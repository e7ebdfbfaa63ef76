// Buffered writer for the response files: lines gathered in a fixed buffer, written in big blocks.
#include "response/response.h"

#include <cerrno>
#include <cstring>

void writer_open(ResponseWriter &w, std::FILE *stream, int time_decimals) {
    w.stream = stream;
    w.used = 0;
    w.error = 0;
    w.time_decimals = time_decimals;
    w.written = 0;
#ifndef PELMAR_FPRINTF_WRITER
    // The buffer here already gathers whole blocks; a second copy in stdio would only cost time.
    std::setvbuf(stream, nullptr, _IONBF, 0);
#endif
}

void writer_flush(ResponseWriter &w) {
    if (w.used == 0) return;
    // After the first failure (a full disk) the rest is dropped: the run is already lost and
    // retrying every block would only repeat the same error.
    if (w.error == 0) {
        errno = 0;
        if (std::fwrite(w.buf, 1, w.used, w.stream) != w.used) w.error = errno != 0 ? errno : EIO;
    }
    w.written += w.used;
    w.used = 0;
}

#ifndef PELMAR_FPRINTF_WRITER
void writer_step(ResponseWriter (&w)[3], double t, const double (&values)[3][2]) {
    // The time field is the same in all three lines: format it once, copy it twice.
    char time_text[response_line_max];
    const std::size_t time_len =
        static_cast<std::size_t>(format_response_time(time_text, t, w[0].time_decimals) - time_text);
    for (int f = 0; f < 3; ++f) {
        ResponseWriter &wf = w[f];
        if (ResponseWriter::capacity - wf.used < response_line_max) writer_flush(wf);
        std::memcpy(wf.buf + wf.used, time_text, time_len);
        char *end = format_response_values(wf.buf + wf.used + time_len, values[f][0], values[f][1]);
        wf.used = static_cast<std::size_t>(end - wf.buf);
    }
}
#else
// The plain stdio writer of the reference build: the tests compare the fast writer's files with
// its files byte for byte, and the benchmark measures what the buffer and formatter gain over it.
static void fprintf_line(ResponseWriter &w, double t, double x1, double x2) {
    const int n = std::fprintf(w.stream, response_line_format_wide, w.time_decimals, t, x1, x2);
    if (n < 0 && w.error == 0) w.error = errno != 0 ? errno : EIO;
    if (n > 0) w.written += static_cast<std::uint64_t>(n);
}

void writer_step(ResponseWriter (&w)[3], double t, const double (&values)[3][2]) {
    for (int f = 0; f < 3; ++f) fprintf_line(w[f], t, values[f][0], values[f][1]);
}
#endif
