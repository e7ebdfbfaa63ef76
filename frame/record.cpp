// The analysis record's single instance and the formatted writes shared by all stages.
#include "frame/frame.h"

#include <cerrno>
#include <cstdarg>

AnalysisRecord rec;

void note_write_error(int slot, int err) {
    if (rec.write_error[slot] == 0) rec.write_error[slot] = err != 0 ? err : EIO;
}

static void emit_v(std::FILE *f, const char *fmt, std::va_list ap) {
    errno = 0;
    if (std::vfprintf(f, fmt, ap) >= 0) return;
    for (int slot = 0; slot < 4; ++slot)
        if (f == rec.pFile[slot]) note_write_error(slot, errno);
}

void emit(std::FILE *f, const char *fmt, ...) {
    std::va_list ap;
    va_start(ap, fmt);
    emit_v(f, fmt, ap);
    va_end(ap);
}

void both(const char *fmt, ...) {
    std::va_list ap;
    va_start(ap, fmt);
    std::va_list again;
    va_copy(again, ap);
    emit_v(stdout, fmt, ap);
    emit_v(rec.pFile[0], fmt, again);
    va_end(again);
    va_end(ap);
}

void report(const char *fmt, ...) {
    std::va_list ap;
    va_start(ap, fmt);
    emit_v(rec.pFile[0], fmt, ap);
    va_end(ap);
}
